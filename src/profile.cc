// placeholder, replaced by the module's implementation
