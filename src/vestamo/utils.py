def to_date_str(x): return x
