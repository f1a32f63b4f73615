# Sourced by the set-up scripts: prints the command that runs Python 3.12.
find_python() {
    if python3.12 -c 'import sys' >/dev/null 2>&1; then
        echo python3.12
    elif PYENV_VERSION=3.12 python3 -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then
        echo "env PYENV_VERSION=3.12 python3"
    else
        echo "ostik needs Python 3.12 (python3.12, or pyenv with a 3.12 version)" >&2
        exit 1
    fi
}
