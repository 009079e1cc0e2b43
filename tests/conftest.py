import pytest


def err(exc_type, message):
    """pytest.raises matching the whole message exactly."""
    import re

    return pytest.raises(exc_type, match="^" + re.escape(message) + "$")
