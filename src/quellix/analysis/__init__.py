"""Factor testing: preprocessing and analysis of factor tables."""
