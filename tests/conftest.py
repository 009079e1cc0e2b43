import pytest


def err(exc_type, message):
    """pytest.raises matching the whole message exactly."""
    import re

    return pytest.raises(exc_type, match="^" + re.escape(message) + "$")


# True when the extension runs under AddressSanitizer (the CI's sanitizer
# stage preloads its runtime); tests of memory footprint skip themselves then.
sanitized = "libasan" in __import__("os").environ.get("LD_PRELOAD", "")
