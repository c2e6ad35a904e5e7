// The shared library is the internal code linked whole; this unit only
// gives the target a source of its own.
