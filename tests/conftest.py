import contextlib

import pytest


@contextlib.contextmanager
def err(exc_type, message):
    """pytest.raises matching the whole message exactly.  The message is
    str(exception) alone: pytest's match= would also read the exception's
    notes, which explain some messages without being part of them."""
    with pytest.raises(exc_type) as info:
        yield info
    assert str(info.value) == message, f"message {str(info.value)!r} != {message!r}"


# True when the extension runs under AddressSanitizer (the CI's sanitizer
# stage preloads its runtime); tests of memory footprint skip themselves then.
sanitized = "libasan" in __import__("os").environ.get("LD_PRELOAD", "")
