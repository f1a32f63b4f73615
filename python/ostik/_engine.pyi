# Type stubs for the C++ extension module ostik._engine.
__all__: list[str] = []
