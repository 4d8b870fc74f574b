#include "frontend/kovox.h"

int main(int argc, char** argv) { return kovox::run_program(argc, argv); }
