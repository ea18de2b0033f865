// A shared library that is no in-process server: it lacks DllGetClassObject.
extern "C" __attribute__((visibility("default"))) int VelqoNotAServer() { return 1; }
