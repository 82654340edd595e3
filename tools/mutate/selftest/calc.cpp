#include <utility>

// Checked by calc_test: every mutant here must be reported killed.
bool Below(int value, int limit) {
    return value < limit;  // a comment with a < b that is no code
}

// Never called by calc_test: its mutants survive, or are listed as equivalent.
bool Above(int value, int limit) {
    return value > limit;
}

// std::get<2> of a pair does not compile: that mutant is no kill.
int Second(std::pair<int, int> p) {
    return std::get<1>(p);
}

// Without its step the loop never ends: that mutant is killed by the timeout.
void Drain(unsigned& n) {
    while (n)
        n >>= 1;
}
