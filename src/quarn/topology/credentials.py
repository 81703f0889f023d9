"""Names shared by code that reads credentials from a testbed."""

__all__ = ['DEFAULT_CRED']

# Name of the credential set used when no protocol-specific set applies.
DEFAULT_CRED: str = 'default'
