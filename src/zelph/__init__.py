"""zelph: in-house infrastructure. :mod:`zelph.dualcache` is the persistent mapping."""
