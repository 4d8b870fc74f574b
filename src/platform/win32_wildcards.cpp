// Has the runtime's start-up code expand wildcard patterns among the arguments into the names of
// matching local files, as callers of a Windows console program expect.
extern "C" {
int _dowildcard = -1;
}
