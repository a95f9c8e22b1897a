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

bool RoundingName(std::string& name) {
    return name == "half" || name == "up" || name == "down";
}

}  // namespace

void MoneyOptions(vux_args::Args& a) {
    a.AddOption("round", 'r', "round the sum: half, up or down").SetValidator(&RoundingName);
}

// Negative amounts follow "--", which ends the options.
int Money(const Cmdline& c) {
    const std::string round = c.options["round"];
    vux_money::Money sum;
    for (const std::string& amount : c.args) sum += Amount(amount);
    if (c.args.empty()) throw Usage{};
    if (round == "half") sum = sum.Round();
    if (round == "up") sum = sum.HigherRound();
    if (round == "down") sum = sum.LowerRound();
    std::cout << sum << "\n";
    return std::cout ? 0 : 1;
}

}  // namespace vuxtool
