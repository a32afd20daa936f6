// Keeps a subsystem library non-empty while its first sources are written.
