"""The flags that the decoder gives each item (uncompressed messages) or
column (compressed ones) of a decoded message, and the rules read from them."""

HAS_RAW = 2  # a number with its raw value (not character data)
TEXT = 4  # character data
LOCAL = 8  # an element that no table gave, read after 2-06-YYY as a plain number
OPERATOR = 16  # an operator item (2-22-000, 2-36-000, ...)
BITMAP_VALUE = 32  # a value read through a bitmap (2-23-255, 2-24-255, ...)
MISSING = 64  # a missing value or text
RESCALED = 128  # read with a scale or reference that an operator set (2-02, 2-03, 2-07, 2-25-255)

ASSOCIATED_FIELD = 999999  # the descriptor of an associated field's item


def whole(integral: bool, flags: int) -> bool:
    """Whether the values of an element are whole numbers (``int``): the
    element has no decimals in its table (`integral`) and was read at its
    table's scale and reference, as a table element."""
    return integral and not flags & (RESCALED | LOCAL)
