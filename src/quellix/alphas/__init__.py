"""Libraries of published factor formulas written as quellix factor expressions."""
