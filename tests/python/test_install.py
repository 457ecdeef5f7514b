"""The installed package: cmake --install of the library and the package
into a scratch prefix; the package imported from the prefix's Debian Python
path, with no QZCSIF_LIBRARY, loads the installed library and reads the
installed message module's texts."""
import json
import os
import subprocess

import pytest

PROBE = r"""
import json, qzcsif
lib = qzcsif.library()
try:
    lib.call("GetServerInfo", 7, qzcsif.SERVERINFO())
except qzcsif.QzError as e:
    error = [e.status, e.text]
print(json.dumps({"package": qzcsif.__file__, "configured": lib.path,
                  "mapped": lib.library_file(), "error": error}))
"""


def test_installed_package_uses_the_installed_library(tmp_path):
    build, cmake = os.environ.get("QZ_BUILD_DIR"), os.environ.get("QZ_CMAKE")
    if not build or not cmake:
        pytest.skip("QZ_BUILD_DIR and QZ_CMAKE are not set (run through ctest)")
    prefix = tmp_path / "prefix"
    for component in ("qzcsif", "python"):
        subprocess.run([cmake, "--install", build, "--prefix", str(prefix),
                        "--component", component], check=True, capture_output=True)
    env = {k: v for k, v in os.environ.items() if k not in ("QZCSIF_LIBRARY", "PYTHONPATH")}
    env["PYTHONPATH"] = str(prefix / "lib" / "python3" / "dist-packages")
    out = subprocess.run(["/usr/bin/python3", "-c", PROBE], env=env, cwd=tmp_path, check=True,
                         capture_output=True, text=True).stdout
    seen = json.loads(out)
    assert seen["package"].startswith(str(prefix) + "/lib/python3/dist-packages/qzcsif/")
    assert seen["configured"].startswith(str(prefix) + "/") and \
        seen["configured"].endswith("/libqzcsif.so.1")
    assert os.path.realpath(seen["mapped"]) == os.path.realpath(seen["configured"])
    assert seen["error"] == [0xC1FF3002, "The server ID does not name the live, logged-in session."]
