#include <iostream>

#include <libvux/vuxerr.h>
#include <libvux/vuxmoney.h>

#include "commands.h"

namespace vuxtool {

namespace {

// Money reads any text; a script's typo must fail loudly instead of adding zero.
vux_money::Money Amount(const std::string& s) {
    std::size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
    std::size_t digits = 0, decimals = 0;
    bool dot = false;
    for (; i < s.size(); ++i) {
        if (s[i] == '.' && !dot) {
            dot = true;
        } else if (s[i] >= '0' && s[i] <= '9') {
            ++digits;
            if (dot) ++decimals;
        } else {
            throw vux_err::Value("amount", s);
        }
    }
    std::size_t whole = digits - decimals;
    if (digits == 0 || decimals > 4 || whole > 15) throw vux_err::Value("amount", s);
    return vux_money::Money(s);
}

}  // namespace

int Money(const Args& args) {
    std::string round;
    vux_money::Money sum;
    std::size_t amounts = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--round") {
            if (i + 1 >= args.size()) throw Usage{};
            round = args[++i];
            if (round != "half" && round != "up" && round != "down") throw Usage{};
        } else {
            sum += Amount(args[i]);
            ++amounts;
        }
    }
    if (amounts == 0) throw Usage{};
    if (round == "half") sum = sum.Round();
    if (round == "up") sum = sum.HigherRound();
    if (round == "down") sum = sum.LowerRound();
    std::cout << sum << "\n";
    return std::cout ? 0 : 1;
}

}  // namespace vuxtool
