"""The service's answer model: built-in error codes (faultmark), custom codes
and their registry (faultroll) and the unified result record (result)."""
