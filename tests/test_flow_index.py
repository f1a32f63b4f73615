"""The recorded results' text index: runs shared with earlier results that
hold the same windows in other text are still found."""

import pytest

import ostik

POLICY = """
version: "1"
flows:
  - {from: read_file, to: send, min_length: 8}
"""


@pytest.mark.parametrize("results, sent, verdict", [
    # The second result's only indexed window also starts the first one.
    (["ABCDzzzz", "ABCDEFGH"], "ABCDEFGH", "blocked"),
    (["ABCDzzzz", "ABCDEFGH"], "xxABCDEFGHyy", "blocked"),
    (["ABCDzzzz", "ABCDEFGH"], "ABCDzzzz", "blocked"),
    (["ABCDzzzz", "ABCDEFGH"], "ABCDEFGz", "allowed"),
    # Repeated text is indexed once and still found.
    (["a" * 100_000], "a" * 8, "blocked"),
    (["a" * 100_000 + "WXYZ1234"], "aaaaWXYZ1234", "blocked"),
    (["éléphant" * 50, "éléphantXYZ"], "…léphantXYZ", "blocked"),
])
def test_shared_windows_in_other_text_are_found(write_policy, results, sent, verdict):
    s = ostik.Guard.from_file(write_policy(POLICY)).session()
    for i, result in enumerate(results):
        s.check("read_file", {}, call_id=f"r{i}")
        s.record_result(f"r{i}", result)
    assert s.check("send", {"text": sent}, call_id="out").verdict == verdict
