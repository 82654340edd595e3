#include <cstdio>
#include <utility>

bool Below(int value, int limit);
int Second(std::pair<int, int> p);
void Drain(unsigned& n);

int main() {
    unsigned n = 8;
    Drain(n);
    const bool ok = Below(1, 2) && !Below(2, 2) && Second({3, 4}) == 4 && n == 0;
    if (!ok) std::puts("calc_test: a function gave a wrong answer");
    return ok ? 0 : 1;
}
