// Placeholder: filled in by its own change.
int main() { return 0; }
