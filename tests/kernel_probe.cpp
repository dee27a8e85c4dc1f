// Evaluates kernel functions that need no root finder, one request per input line:
//   erfc x... | exp x... | log x... | pow x y | norm_cdf z | bsm K D F sigma q | fminbound CASE xa xb | forward CASE F_init
// and prints the results with full precision (fminbound, forward: x fx evaluations).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>

#include "kernel/forward.hpp"
#include "kernel/pricing.hpp"

namespace {

struct Counted {
    int calls = 0;
    std::string shape;
};

double objective(double x, void *args) {
    Counted &c = *static_cast<Counted *>(args);
    ++c.calls;
    if (c.shape == "quadratic") return (x - 101.3) * (x - 101.3);
    if (c.shape == "constant") return 1.0;
    if (c.shape == "linear") return x;
    if (c.shape == "negated") return -x;
    if (c.shape == "beyond") return (x - 105) * (x - 105);  // past a band of 3 % about 100
    if (c.shape == "below") return (x - 90) * (x - 90);
    if (c.shape == "far") return (x - 130) * (x - 130);    // past 24 %
    return std::numeric_limits<double>::quiet_NaN();
}

double parse(const std::string &token) {
    if (token == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (token == "inf") return std::numeric_limits<double>::infinity();
    if (token == "-inf") return -std::numeric_limits<double>::infinity();
    return std::strtod(token.c_str(), nullptr);  // stod refuses subnormals (ERANGE)
}

}  // namespace

int main() {
    using namespace kelvo::kernel;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string op, a, b, c, d, e;
        in >> op;
        if (op == "erfc") {  // any number of arguments, one result line each
            while (in >> a) std::printf("%.17g\n", kelvo::kernel::erfc(parse(a)));
        } else if (op == "exp") {
            while (in >> a) std::printf("%.17g\n", kelvo::kernel::exp(parse(a)));
        } else if (op == "log") {
            while (in >> a) std::printf("%.17g\n", kelvo::kernel::log(parse(a)));
        } else if (op == "pow") {
            in >> a >> b;
            std::printf("%.17g\n", kelvo::kernel::pow(parse(a), parse(b)));
        } else if (op == "norm_cdf") {
            in >> a;
            std::printf("%.17g\n", _norm_cdf(parse(a)));
        } else if (op == "bsm") {
            in >> a >> b >> c >> d >> e;
            std::printf("%.17g\n", _bsm_price(parse(a), parse(b), parse(c), parse(d), std::stoi(e)));
        } else if (op == "fminbound") {
            Counted counted;
            in >> counted.shape >> a >> b;
            const BoundedMinimum m = _fminbound(objective, parse(a), parse(b), &counted, 1e-6, 100);
            std::printf("%.17g %.17g %d\n", m.x, m.fx, counted.calls);
        } else if (op == "forward") {
            Counted counted;
            in >> counted.shape >> a;
            const BoundedMinimum m = search_forward(objective, &counted, parse(a));
            std::printf("%.17g %.17g %d\n", m.x, m.fx, counted.calls);
        } else {
            std::printf("unknown\n");
        }
    }
    return 0;
}
