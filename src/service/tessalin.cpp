// Program entry. The service host replaces this with the service
// application's start-up.
int main() { return 0; }
