// orvelle-sim (stub until built).
int main() { return 0; }
