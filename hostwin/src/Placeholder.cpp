// Replaced by the stand-in sources.
