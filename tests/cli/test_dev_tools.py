"""The developer commands of the README still run."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_fuzz_driver_runs_every_target_briefly(tmp_path):
    proc = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "fuzz.py"), "--minutes", "0.15", "--chunk", "20",
         "--found-dir", str(tmp_path / "found"), "--last-input-dir", str(tmp_path / "last")],
        capture_output=True, text=True, encoding="utf-8", timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    linhas = [l for l in proc.stdout.splitlines() if l.strip().endswith("failure(s)")]
    assert linhas and all(l.split()[-2] == "0" for l in linhas), proc.stdout
