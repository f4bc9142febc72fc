// A shared library needs at least one source of its own; the code comes from the archives.
