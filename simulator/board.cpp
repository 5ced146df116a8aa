// SPDX-License-Identifier: MIT
#include "simulator/board.h"

#include "protocol/commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quorvane::sim {

namespace proto = quorvane::protocol;

std::string Board::loadsText() const
{
    std::string s = "loads:";
    for (bool on : loads_)
        s += on ? " 1" : " 0";
    return s;
}

std::string Board::handle(char byte)
{
    const proto::Command cmd = proto::decodeCommand(byte);
    std::string what;
    switch (cmd.kind) {
    case proto::Command::Kind::LoadOn:
    case proto::Command::Kind::LoadOff: {
        const bool on = cmd.kind == proto::Command::Kind::LoadOn;
        loads_[std::size_t(cmd.load - 1)] = on;
        what = "load " + std::to_string(cmd.load) + (on ? " on " : " off");
        break;
    }
    case proto::Command::Kind::AllOn:
        loads_.fill(true);
        what = "all on ";
        break;
    case proto::Command::Kind::AllOff:
        loads_.fill(false);
        what = "all off";
        break;
    case proto::Command::Kind::Unknown: {
        ++ignored_;
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(byte));
        return std::string(hex) + " -> ignored (" + std::to_string(ignored_) + " so far)";
    }
    }
    return std::string(1, byte) + " -> " + what + "   " + loadsText();
}

Sensors::Sensors(std::uint32_t seed) : rng_(seed)
{
    std::uniform_real_distribution<double> light(20, 80), in(19, 24), out(0, 25);
    now_.light = light(rng_);
    now_.inDoor = in(rng_);
    now_.outDoor = out(rng_);
}

double Sensors::drift(double value, double step, double low, double high)
{
    std::uniform_real_distribution<double> d(-step, step);
    return std::clamp(value + d(rng_), low, high);
}

Readings Sensors::next()
{
    if (dwell_ <= 0) {
        // Motion comes and goes: a state holds for 2 to 8 frames, idle more often than not.
        std::bernoulli_distribution motion(0.3);
        std::uniform_int_distribution<int> hold(2, 8);
        now_.pir = motion(rng_) ? 1 : 0;
        dwell_ = hold(rng_);
    }
    --dwell_;
    now_.light = drift(now_.light, 2.0, 0, 100);
    now_.inDoor = drift(now_.inDoor, 0.2, 18, 26);
    now_.outDoor = drift(now_.outDoor, 0.5, -5, 35);
    return now_;
}

namespace {

std::string number(double v, bool decimals)
{
    char text[32];
    if (decimals)
        std::snprintf(text, sizeof text, "%.1f", v);
    else
        std::snprintf(text, sizeof text, "%ld", std::lround(v));
    std::string s = text;
    return s == "-0" ? "0" : s == "-0.0" ? "0.0" : s;
}

} // namespace

std::string formatFrame(const Readings &r, bool decimals)
{
    std::string f = "X";
    f += "Pir:" + std::to_string(r.pir) + "Y";
    f += "Lig:" + number(r.light, decimals) + "Y";
    f += "Tp1:" + number(r.inDoor, decimals) + "Y";
    f += "Tp2:" + number(r.outDoor, decimals) + "Y";
    f += "Z";
    return f;
}

} // namespace quorvane::sim
