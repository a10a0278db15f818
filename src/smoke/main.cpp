#include <cstdio>

int main() {
    std::printf("ostrel: build smoke check passed\n");
    return 0;
}
