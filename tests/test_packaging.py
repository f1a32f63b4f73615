"""Installing ostik: the system packages, the version, the sdist and the self-contained wheel."""

import importlib.metadata
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import tomllib
import zipfile
from pathlib import Path

import pytest
from docs_text import all_text, page, section

import ostik

ROOT = Path(__file__).resolve().parents[1]
PACKAGE_LIST = ROOT / "scripts" / "system-packages.txt"
TEST_PACKAGE_LIST = ROOT / "scripts" / "test-packages.txt"
INSTALLER = ROOT / "scripts" / "install_system_packages.sh"
# The README and the documentation pages, where the commands and file names are shown.
DOCS = all_text()
REQUIREMENTS = section(page("getting-started.md"), "Requirements")


def listed(text):
    """The package names in a list file: one a line, `#` starts a comment."""
    return [name for line in text.splitlines() for name in line.split("#", 1)[0].split()]


PACKAGES = listed(PACKAGE_LIST.read_text())
TEST_PACKAGES = listed(TEST_PACKAGE_LIST.read_text())


# --- one package list -------------------------------------------------------

def test_the_package_list_names_the_build_dependencies():
    assert {"g++", "cmake", "pkg-config", "libyaml-dev", "libicu-dev", "libre2-dev"} <= set(PACKAGES)
    assert len(PACKAGES) == len(set(PACKAGES))


def test_every_build_install_command_in_the_docs_is_the_package_list():
    commands = [[word for word in words.split() if not word.startswith("-")]
                for words in re.findall(r"apt-get install ([^`\n]*)", DOCS)]
    build_commands = [names for names in commands if "libyaml-dev" in names]
    assert len(build_commands) >= 3  # the README, the requirements and the CI example
    assert all(names == PACKAGES for names in build_commands), build_commands
    assert "scripts/system-packages.txt" in REQUIREMENTS
    assert "apt-get install -y " + " ".join(PACKAGES) in REQUIREMENTS


def test_the_scripts_take_their_packages_from_the_list():
    # CI is the README's test command and nothing else; the set-up scripts run
    # the installer, which reads the list, so no script keeps its own copy.
    ci = [line for line in (ROOT / ".ci" / "run").read_text().splitlines()
          if line.strip() and not line.startswith("#")]
    assert ci == ["set -euo pipefail", 'cd "$(dirname "$0")/.."', "exec bash scripts/test.sh"]
    assert "bash scripts/setup.sh" in (ROOT / "scripts" / "test.sh").read_text()
    assert "bash scripts/setup.sh" in (ROOT / "scripts" / "example.sh").read_text()
    for script in ["setup.sh", "build_wheel.sh", "test.sh", "example.sh"]:
        text = (ROOT / "scripts" / script).read_text()
        assert not [name for name in PACKAGES if name.endswith("-dev") and name in text], script
    for script in ["setup.sh", "build_wheel.sh"]:
        assert "bash scripts/install_system_packages.sh\n" in (ROOT / "scripts" / script).read_text()


def test_what_only_the_tests_need_is_a_list_of_its_own_that_the_test_script_installs():
    # A browser for the report page's tests: CI must install it, a build must not need it.
    assert "chromium" in TEST_PACKAGES
    assert not set(TEST_PACKAGES) & set(PACKAGES)
    assert "bash scripts/install_system_packages.sh scripts/test-packages.txt\n" in (
        ROOT / "scripts" / "test.sh").read_text()
    for script in ["setup.sh", "build_wheel.sh", "example.sh"]:
        assert "test-packages" not in (ROOT / "scripts" / script).read_text()
    assert "scripts/test-packages.txt" in REQUIREMENTS
    assert "apt-get install -y " + " ".join(TEST_PACKAGES) in REQUIREMENTS


# --- installing missing system packages ----------------------------------------

needs_dpkg = pytest.mark.skipif(shutil.which("dpkg-query") is None, reason="needs dpkg-query (Debian)")
ABSENT = "ostik-absent-test-package"


class FakeTools:
    """A folder, readable by everyone, with apt-get and sudo stand-ins that log their arguments."""

    def __init__(self, sudo_works):
        self.dir = Path(tempfile.mkdtemp(prefix="ostik-fake-tools-"))
        self.dir.chmod(0o755)
        self.log = self.dir / "log"
        self.log.touch()
        self.log.chmod(0o666)
        self._script("apt-get", f'echo "apt-get $* (DEBIAN_FRONTEND=${{DEBIAN_FRONTEND:-}})" >>{self.log}\n')
        if sudo_works:
            self._script("sudo", f'[ "$*" = "-n true" ] && exit 0\necho "sudo $*" >>{self.log}\nexec "$@"\n')
        else:
            self._script("sudo", f'[ "$*" = "-n true" ] || echo "sudo $*" >>{self.log}\nexit 1\n')
        shutil.copy(INSTALLER, self.dir / INSTALLER.name)
        (self.dir / INSTALLER.name).chmod(0o644)

    def _script(self, name, body):
        path = self.dir / name
        path.write_text("#!/bin/sh\n" + body)
        path.chmod(0o755)

    def package_list(self, text):
        path = self.dir / "packages.txt"
        path.write_text(text)
        path.chmod(0o644)
        return path

    def run(self, *args, as_user=False):
        """Runs the installer with the stand-ins first on PATH; as_user drops root if the test has it."""
        command = ["bash", str(self.dir / INSTALLER.name), *map(str, args)]
        if as_user and os.geteuid() == 0:
            if shutil.which("setpriv") is None:
                pytest.skip("needs setpriv to run as an unprivileged user")
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *command]
        env = {**os.environ, "PATH": f"{self.dir}:{os.environ['PATH']}"}
        result = subprocess.run(command, capture_output=True, text=True, env=env, cwd=self.dir, timeout=60)
        return result, self.log.read_text().splitlines()

    def remove(self):
        shutil.rmtree(self.dir)


@pytest.fixture
def fake_tools():
    made = []

    def make(sudo_works=False):
        made.append(FakeTools(sudo_works))
        return made[-1]

    yield make
    for tools in made:
        tools.remove()


@needs_dpkg
def test_nothing_missing_runs_no_apt_get(fake_tools):
    # The set-up ran before the tests, so everything on the real list is installed.
    tools = fake_tools(sudo_works=True)
    shutil.copy(PACKAGE_LIST, tools.dir / PACKAGE_LIST.name)
    result, calls = tools.run()
    assert (result.returncode, result.stderr, calls) == (0, "", [])


@needs_dpkg
@pytest.mark.skipif(os.geteuid() != 0, reason="the root path needs root")
def test_as_root_it_installs_only_what_is_missing(fake_tools):
    tools = fake_tools(sudo_works=True)
    result, calls = tools.run(tools.package_list(f"# what a build needs\n{PACKAGES[0]}\n{ABSENT}  # not a package\n"))
    assert result.returncode == 0, result.stderr
    assert calls[0].startswith("apt-get update")
    assert calls[1:] == [f"apt-get install -y -q -o DPkg::Lock::Timeout=300 --no-install-recommends {ABSENT} "
                         "(DEBIAN_FRONTEND=noninteractive)"]


@needs_dpkg
def test_without_root_it_installs_with_sudo_when_that_needs_no_password(fake_tools):
    tools = fake_tools(sudo_works=True)
    result, calls = tools.run(tools.package_list(f"{ABSENT}\n{PACKAGES[0]}\n"), as_user=True)
    assert result.returncode == 0, result.stderr
    assert [call.split()[:2] for call in calls] == [["sudo", "apt-get"], ["apt-get", "update"],
                                                    ["sudo", "env"], ["apt-get", "install"]]
    assert calls[2] == ("sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "
                        f"-o DPkg::Lock::Timeout=300 --no-install-recommends {ABSENT}")


@needs_dpkg
def test_without_root_or_sudo_it_stops_with_the_command_to_run(fake_tools):
    tools = fake_tools(sudo_works=False)
    result, calls = tools.run(tools.package_list(f"{PACKAGES[0]}\n{ABSENT}\nostik-absent-2\n"), as_user=True)
    assert result.returncode == 2
    assert calls == []
    assert result.stderr.splitlines() == [
        f"ostik needs these system packages, which are not installed: {ABSENT} ostik-absent-2",
        "Install them (this needs root), then run this again:",
        f"    sudo apt-get update && sudo apt-get install -y {ABSENT} ostik-absent-2",
    ]


# --- the version ------------------------------------------------------------------

def test_the_version_is_written_once_and_the_metadata_reads_it():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert "version" not in project["project"] and "version" in project["project"]["dynamic"]
    assert importlib.metadata.version("ostik") == ostik.__version__


def test_the_command_line_shows_the_version():
    result = subprocess.run([sys.executable, "-m", "ostik", "--version"], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, f"ostik {ostik.__version__}\n")


def test_the_docs_name_the_files_of_this_version():
    assert set(re.findall(r"ostik-(\d+\.\d+\.\d+\w*)", DOCS)) == {ostik.__version__}


def test_the_changelog_has_an_unreleased_section_then_this_release():
    headings = re.findall(r"^## (.+)$", (ROOT / "CHANGELOG.md").read_text(), flags=re.MULTILINE)
    assert headings[0] == "Unreleased"
    assert headings[1].split()[0] == ostik.__version__


# --- the sdist and the repaired wheel (pytest -m wheel) ----------------------------

# The libraries every manylinux platform provides; anything else must come with the wheel.
SYSTEM_LIBRARIES = re.compile(r"^(linux-vdso|ld-linux[-\w]*|libc|libm|libstdc\+\+|libgcc_s|libpthread|libdl|librt)\.so")
EXTENSIONS = set(re.findall(r"Python_add_library\((\w+) MODULE", (ROOT / "CMakeLists.txt").read_text()))


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """The sdist and the repaired wheel that scripts/build_wheel.sh makes (built once for these tests)."""
    out = tmp_path_factory.mktemp("dist")
    result = subprocess.run(["bash", str(ROOT / "scripts" / "build_wheel.sh"), str(out)], capture_output=True,
                            text=True, timeout=1800)
    assert result.returncode == 0, result.stdout + result.stderr
    sdists, wheels = sorted(out.glob("ostik-*.tar.gz")), sorted(out.glob("ostik-*.whl"))
    assert len(sdists) == len(wheels) == 1, sorted(out.iterdir())
    return sdists[0], wheels[0]


@pytest.fixture(scope="module")
def installed(built, tmp_path_factory):
    """A fresh venv with the repaired wheel installed: (its python, its site-packages)."""
    venv = tmp_path_factory.mktemp("wheel-venv")
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "--no-index", "--no-deps", str(built[1])], check=True, timeout=300)
    site = venv / "lib" / f"python{sys.version_info.major}.{sys.version_info.minor}" / "site-packages"
    return venv / "bin" / "python", site


def source_files():
    """The files of the checkout a build needs, as the sdist should hold them."""
    files = {"CMakeLists.txt", "pyproject.toml", "README.md", "CHANGELOG.md"}
    for top in ["core", "binding", "python"]:
        for path in (ROOT / top).rglob("*"):
            if path.is_file() and "__pycache__" not in path.parts and path.suffix not in {".so", ".pyc"}:
                files.add(path.relative_to(ROOT).as_posix())
    return files


@pytest.mark.wheel
def test_the_sdist_holds_every_source_file(built):
    with tarfile.open(built[0]) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    assert built[0].name == f"ostik-{ostik.__version__}.tar.gz"
    assert not source_files() - names


@pytest.mark.wheel
def test_the_wheel_carries_the_modules_the_stubs_and_the_libraries(built):
    wheel = built[1]
    assert re.fullmatch(rf"ostik-{re.escape(ostik.__version__)}-cp312-cp312-manylinux_\d+_\d+_{platform.machine()}\.whl",
                        wheel.name), wheel.name
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    modules = {name.split("/")[1].split(".")[0] for name in names if re.fullmatch(r"ostik/_\w+\..*\.so", name)}
    assert modules == EXTENSIONS
    stubs = {f"ostik/{path.name}" for path in (ROOT / "python" / "ostik").glob("*.pyi")}
    assert stubs | {"ostik/py.typed", "ostik/cli/__init__.py", "ostik/schema/policy.schema.json"} <= set(names)
    # the report page's template, style and script
    assets = {f"ostik/reports/page/{path.name}" for path in (ROOT / "python" / "ostik" / "reports" / "page").iterdir()}
    assert {"ostik/reports/page/report.html", "ostik/reports/page/report.js"} <= assets <= set(names)
    libraries = [name.split("/")[1] for name in names if name.startswith("ostik.libs/")]
    for library in ["libyaml-0", "libicuuc", "libicudata", "libre2"]:
        assert any(name.startswith(library + "-") for name in libraries), libraries


def resolved_libraries(module):
    """{library name: the path the dynamic loader finds it at} for an extension module, by ldd."""
    output = subprocess.run(["ldd", str(module)], capture_output=True, text=True, check=True, timeout=60).stdout
    found = {}
    for line in output.splitlines():
        match = re.match(r"\s*(\S+)(?: => (.+?))?(?: \(0x[0-9a-f]+\))?$", line)
        assert match, line
        found[match.group(1)] = match.group(2) or match.group(1)
    return found


def unbundled_name(name):
    """A bundled library's name without the hash and version auditwheel gives it: libyaml-0-8ec1a697.so.2 -> libyaml-0."""
    return re.sub(r"-[0-9a-f]{8}\.so.*$", "", name)


@pytest.mark.wheel
def test_every_extension_finds_its_libraries_in_the_wheel(installed):
    _, site = installed
    bundled = (site / "ostik.libs").resolve()
    modules = sorted((site / "ostik").glob("_*.so"))
    assert {module.name.split(".")[0] for module in modules} == EXTENSIONS
    seen = set()
    for module in modules:
        for name, path in resolved_libraries(module).items():
            assert path != "not found", f"{module.name}: {name} not found"
            if not SYSTEM_LIBRARIES.match(Path(name).name):
                assert Path(path).resolve().parent == bundled, f"{module.name}: {name} => {path}"
                seen.add(unbundled_name(name))
    assert {"libyaml-0", "libicuuc", "libicudata", "libre2"} <= seen
    native = resolved_libraries(next(m for m in modules if m.name.startswith("_native.")))
    assert {"libyaml-0", "libicuuc"} <= {unbundled_name(name) for name in native}, native


def run(command, cwd):
    env = {k: v for k, v in os.environ.items() if k not in {"PYTHONPATH", "NO_COLOR"}}
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, env=env, timeout=120)


@pytest.mark.wheel
def test_the_installed_wheel_runs_outside_the_checkout(installed, tmp_path):
    python, site = installed
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    ostik_command = str(python.parent / "ostik")

    where = run([str(python), "-c", "import ostik, re; print(ostik.__file__); "
                 "print(*sorted({l.split()[-1] for l in open('/proc/self/maps') if re.search('lib(yaml|icu|re2)', l)}))"],
                tmp_path)
    assert where.returncode == 0, where.stderr
    module_file, mapped = where.stdout.splitlines()
    assert Path(module_file).is_relative_to(site)
    bundled = (site / "ostik.libs").resolve()
    assert mapped and all(Path(path).resolve().parent == bundled for path in mapped.split()), mapped

    assert run([ostik_command, "--version"], tmp_path).stdout == f"ostik {ostik.__version__}\n"
    for args, status in [(["check", "examples/policy.yaml"], 0),
                         (["explain", "examples/policy.yaml", "examples/traces/good.jsonl"], 0),
                         (["explain", "examples/policy.yaml", "examples/traces/blocked.jsonl"], 1)]:
        from_wheel = run([ostik_command, *args], tmp_path)
        from_checkout_build = run([sys.executable, "-m", "ostik", *args], tmp_path)
        assert from_wheel.returncode == status, from_wheel.stderr
        assert from_wheel.stdout and (from_wheel.stdout, from_wheel.stderr) == (from_checkout_build.stdout,
                                                                                from_checkout_build.stderr)
    assert run([ostik_command, "check", "examples/policy.yaml"], tmp_path).stdout.startswith(
        "examples/policy.yaml: policy 'coding-agent' version '1.2': ")
    page = run([ostik_command, "report", "examples/policy.yaml", "examples/traces", "-o", "report.html"], tmp_path)
    assert (page.returncode, page.stderr) == (1, "wrote report.html: 6 traces, 3 failed, 36 steps, 8 blocked\n")
    assert '<script type="application/json" id="report-data">' in (tmp_path / "report.html").read_text()
