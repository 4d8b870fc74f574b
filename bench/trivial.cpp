// The cheapest program the interpreter can start: static, so no dynamic loader runs, and doing
// nothing. bench/run.py runs it with the tool's own arguments and redirection to tell what the
// stand-in tool costs beyond any start of a program.
int main() { return 0; }
