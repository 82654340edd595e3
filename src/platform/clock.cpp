#include "platform/clock.h"

namespace pvd {
namespace {
class RealClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::system_clock::now(); }
};
}  // namespace

Clock& SystemClock() {
    static RealClock clock;
    return clock;
}

}  // namespace pvd
