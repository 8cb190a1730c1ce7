#pragma once
// What the bad-input tests of every box share: the bench they link to, the Latin-1 bytes of a
// text, a printable form of it for failure messages, and random texts from a fixed seed.

#include "app/hardening/WindowHardening.h"

#include "gateway/Simulator.h"

#include <QString>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace winhard {

/// How long any click on a box may take.
constexpr auto kClickBound = kOpenTimeOut + kMargin + kSlack;

/// A simulator with instruments at 7, 9 and 7 secondary 5.
std::unique_ptr<gateway::Simulator> startBench();

/// The Latin-1 bytes of a text, or nothing when a character has no Latin-1 byte.
std::optional<std::string> latin1(const QString& text);

/// The first 40 characters of a text, anything outside printable ASCII as \uXXXX.
std::string printable(const QString& text);

/// Kinds of characters a random text is drawn from.
enum class Pool { Digits, Structure, Letters, Controls, HighLatin1, BeyondLatin1 };

/// A random text: mostly 0-12 characters, sometimes 200-1200, from the pools by weight.
QString randomText(std::mt19937& rng, const std::vector<std::pair<Pool, int>>& weights);

} // namespace winhard
