#include "bench/Common.h"

#include "sicl/SiclError.h"

#include <algorithm>
#include <exception>
#include <ostream>

namespace bench {

double median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int reportFailure(std::ostream& err) {
    try {
        throw;
    } catch (const sicl::SiclError& e) {
        err << "siclquill-bench: library error " << e.number() << ": " << e.description() << '\n';
    } catch (const std::exception& e) {
        err << "siclquill-bench: " << e.what() << '\n';
    }
    return 1;
}

} // namespace bench
