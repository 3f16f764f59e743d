// Compiled only to carry the test programs' precompiled headers.
