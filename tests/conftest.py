import pytest


@pytest.fixture
def write_policy(tmp_path):
    """Writes policy text to a fresh file and returns its path as a str."""
    counter = iter(range(1_000_000))

    def write(text, name=None):
        path = tmp_path / (name or f"policy{next(counter)}.yaml")
        path.write_bytes(text.encode() if isinstance(text, str) else text)
        return str(path)

    return write
