"""quellix: factor research for quantitative equity."""
