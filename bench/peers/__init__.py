"""What users would write instead of corvane, with the same small API."""
