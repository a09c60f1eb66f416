"""Checks that a wheel holds exactly what an installation needs: the module
for the interpreter running this check, the stub package, the two tools, the
licence and metadata that agree with the wheel's name."""

import email.parser
import pathlib
import platform
import stat
import sys
import sysconfig
import zipfile


def main(path: pathlib.Path) -> int:
    name, version, python_tag, abi_tag, platform_tag = path.stem.split("-")
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    problems = []
    if (name, python_tag, abi_tag) != ("axiolink", tag, tag):
        problems.append(f"wheel name {path.name} is not for axiolink on {tag}")
    if platform_tag != f"linux_{platform.machine()}":
        problems.append(f"platform tag {platform_tag} is not linux_{platform.machine()}")

    dist_info = f"axiolink-{version}.dist-info"
    expected = {
        "axiolink" + sysconfig.get_config_var("EXT_SUFFIX"),
        "axiolink-stubs/__init__.pyi",
        "axiolink-stubs/py.typed",
        "axiolink_ext" + sysconfig.get_config_var("EXT_SUFFIX"),
        "axiolink_ext-stubs/__init__.pyi",
        "axiolink_ext-stubs/py.typed",
        f"axiolink-{version}.data/scripts/dm-emulator",
        f"axiolink-{version}.data/scripts/dmctl",
        f"{dist_info}/METADATA",
        f"{dist_info}/WHEEL",
        f"{dist_info}/RECORD",
        f"{dist_info}/licenses/LICENSE",
    }
    with zipfile.ZipFile(path) as wheel:
        names = set(wheel.namelist())
        for missing in sorted(expected - names):
            problems.append(f"missing: {missing}")
        for extra in sorted(names - expected):
            problems.append(f"unexpected: {extra}")
        if not problems:
            metadata = email.parser.Parser().parsestr(wheel.read(f"{dist_info}/METADATA").decode())
            wanted = {"Name": "axiolink", "Version": version, "Requires-Python": ">=3.12",
                      "License-Expression": "MIT"}
            for field, value in wanted.items():
                if metadata[field] != value:
                    problems.append(f"METADATA {field} is {metadata[field]!r}, not {value!r}")
            if not wheel.read(f"{dist_info}/licenses/LICENSE").startswith(b"MIT License"):
                problems.append("the licence is not the MIT licence")
            for tool in ("dm-emulator", "dmctl"):
                mode = wheel.getinfo(f"axiolink-{version}.data/scripts/{tool}").external_attr >> 16
                if not mode & stat.S_IXUSR:
                    problems.append(f"{tool} is not executable")
            print(f"{path.name}: {path.stat().st_size} bytes")
            for info in wheel.infolist():
                print(f"  {info.file_size:>8}  {info.filename}")

    for problem in problems:
        print(f"{path.name}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1])))
