"""The pre-commit hooks and `make lint` run the same formatter versions."""

import tomllib
from pathlib import Path

import yaml

REPO = Path(__file__).resolve().parents[1]


def test_pre_commit_hooks_pin_the_lint_extra_versions():
    hooks = yaml.safe_load((REPO / ".pre-commit-config.yaml").read_text())
    pinned = {
        dependency
        for repo in hooks["repos"]
        for hook in repo["hooks"]
        for dependency in hook.get("additional_dependencies", [])
    }
    extra = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["optional-dependencies"]["lint"]
    assert pinned and all("==" in dependency for dependency in pinned)
    assert pinned <= set(extra), "the hooks and pyproject.toml's lint extra pin different versions"
