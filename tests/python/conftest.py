import os

import pytest


@pytest.fixture
def tmp(tmp_path, monkeypatch):
    """A fresh directory, made current: relative node paths land in it."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


def fill(path, files=20, size=50_000):
    """Gives a result collector data to copy."""
    data = os.path.join(path, "data.0")
    os.makedirs(data, exist_ok=True)
    for i in range(files):
        with open(os.path.join(data, f"f{i}"), "wb") as out:
            out.write(b"x" * size)
