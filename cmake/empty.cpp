// Placeholder unit for a module whose code has not landed yet.
