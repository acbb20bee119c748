"""Pure-Python reference models the native module is compared against."""
