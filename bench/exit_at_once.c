/* The benchmark's child: starts and ends at once. */
int main(void) { return 0; }
