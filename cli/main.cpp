// lumivore-cli: the engine without windows.
int main() { return 0; }
