def ttl_cache(s):
    return lambda f: f
