"""The type stubs declare exactly what the extension modules define."""
import subprocess
import sys

import pytest

pytest.importorskip("mypy.stubtest")


def test_stubs_match_the_extension_modules(tmp_path):
    config = tmp_path / "mypy.ini"
    # The stubs import pandas, scipy and the client, none of which ship types we need here.
    config.write_text("[mypy]\nignore_missing_imports = True\ncache_dir = {}\n".format(tmp_path / "cache"))
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config),
         "quellix.rolling", "quellix.analysis.assaycore", "quellix._operators"],
        capture_output=True, text=True, timeout=300,
    )
    assert run.returncode == 0, run.stdout + run.stderr
