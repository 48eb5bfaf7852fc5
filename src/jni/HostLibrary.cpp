// The host build's shared library has no entry point of its own; this unit only gives the
// target a source of its own besides the natives.
