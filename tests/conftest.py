import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "default", deadline=None, max_examples=200, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("fuzz", deadline=None, max_examples=20000, suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

from postgres_server import banco_postgres, servidor_postgres  # noqa: E402,F401  (fixtures de PostgreSQL)
