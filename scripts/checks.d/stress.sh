#!/usr/bin/env bash
# The concurrency stress under ThreadSanitizer for QUOR_STRESS_SECONDS (default 60); the normal
# test runs keep it short.
set -uo pipefail
cd "$(dirname "$0")/../.."
{ cmake --preset tsan && cmake --build --preset tsan --target stress_tests; } \
    >build/stress-build.log 2>&1 || { tail -n 40 build/stress-build.log; exit 1; }
QUOR_STRESS_SECONDS=${QUOR_STRESS_SECONDS:-60} setarch "$(uname -m)" -R \
    build/tsan/tests/stress/stress_tests
