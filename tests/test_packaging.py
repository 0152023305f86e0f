"""The installed distribution's metadata and files, as pip and tools see them."""

import importlib.metadata
import pathlib
import re
import tomllib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def metadata():
    return importlib.metadata.metadata("kvstore")


def test_version_comes_from_meson_build(metadata):
    project = re.search(r"project\((.*?)\)", (ROOT / "meson.build").read_text(), re.S).group(1)
    version = re.search(r"version\s*:\s*'([^']+)'", project).group(1)
    assert metadata["Version"] == version
    project_table = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert "version" not in project_table and "version" in project_table["dynamic"]


def test_metadata_is_complete(metadata):
    assert metadata["Name"] == "kvstore"
    assert metadata["Summary"]
    assert metadata["License-Expression"] == "MIT"
    assert metadata["Requires-Python"] == ">=3.13"
    assert "Programming Language :: Python :: 3.13" in metadata.get_all("Classifier")
    assert metadata.get_all("Project-URL") is None
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert "make demo" in metadata.get_payload()


def test_wheel_installs_module_stubs_and_licence():
    files = {str(path) for path in importlib.metadata.files("kvstore")}
    assert {"_kvstore.pyi", "_kvstore-stubs/__init__.pyi"} <= files
    assert any(re.fullmatch(r"_kvstore\.cpython-313.*\.so", name) for name in files)
    assert any(name.endswith("licenses/LICENSE") for name in files)


def readme_examples():
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    return [block for block in blocks if "import _kvstore" in block or ", _kvstore" in block]


def test_readme_examples_run(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    examples = readme_examples()
    assert examples
    for example in examples:
        exec(compile(example, "README.md", "exec"), {})
    printed = capsys.readouterr().out.splitlines()
    assert printed == ["b'red'", "b'none'", "2 True", "['config']"]
