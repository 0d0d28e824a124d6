// probe.cpp - whether this machine runs the programs of this build under
// Wine: prints the architecture it was built for and exits 0.
#include <cstdio>

int main() {
    std::printf("probe: %s programs run here\n", sizeof(void*) == 4 ? "i686" : "x86_64");
    return 0;
}
