"""Common part of the management script package."""
