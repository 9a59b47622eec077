"""The developer commands of the README still run."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def test_fuzz_driver_runs_every_target_briefly(tmp_path):
    proc = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "fuzz.py"), "--minutes", "0.15", "--chunk", "20",
         "--found-dir", str(tmp_path / "found"), "--last-input-dir", str(tmp_path / "last")],
        capture_output=True, text=True, encoding="utf-8", timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    linhas = [l for l in proc.stdout.splitlines() if l.strip().endswith("failure(s)")]
    assert linhas and all(l.split()[-2] == "0" for l in linhas), proc.stdout


@pytest.mark.skipif(shutil.which("flock") is None, reason="tools/dev-build locks with flock")
def test_dev_build_names_a_missing_pybind11(tmp_path):
    for pasta in ("tools", "build"):  # build/ as after an earlier build
        (tmp_path / pasta).mkdir()
    script = shutil.copy(ROOT / "tools" / "dev-build", tmp_path / "tools")
    shim = tmp_path / "sem_pybind11"
    shim.mkdir()
    (shim / "python3").write_text('#!/bin/sh\necho "No module named pybind11" >&2\nexit 1\n', encoding="utf-8")
    (shim / "python3").chmod(0o755)
    env = {k: v for k, v in os.environ.items() if k != "LEXARO_BUILD_DIR"}
    env["PATH"] = f"{shim}{os.pathsep}{env['PATH']}"
    proc = subprocess.run([script], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 1 and proc.stdout == "" and len(proc.stderr.splitlines()) == 1
    assert "pybind11" in proc.stderr and "source .venv/bin/activate" in proc.stderr
