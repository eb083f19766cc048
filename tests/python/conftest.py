import re

import pytest

import quorvex


@pytest.fixture
def fs():
    return quorvex.PyFs()


@pytest.fixture
def raises_exactly():
    """pytest.raises with the whole message compared, not searched."""

    def check(exception, message):
        return pytest.raises(exception, match="^" + re.escape(message) + "$")

    return check


# The rendering of a file system that holds only its root.
ROOT_ONLY = (
    'FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: "", '
    "data: RwLock { data: Directory { children: [] }, poisoned: false, .. } }}, "
    "next_inode_id: 1 }"
)
