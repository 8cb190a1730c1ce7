#pragma once
// The catalogue of operands and options that the rows of the command table name: each is
// declared once here, with its help, its check and where its value goes.

#include "cli/CommandTable.h"

#include <CLI/CLI.hpp>

#include <string_view>

namespace cli {

/// Adds the operand or option `name` ("ADDR", "--max") to `command`, bound to `values`;
/// `required` makes CLI11 insist on an operand. Throws std::logic_error for a name the
/// catalogue does not have.
void addArgument(CLI::App& command, std::string_view name, CommandValues& values, bool required);

/// True when the catalogue has `name`.
bool hasArgument(std::string_view name);

/// Checks of numbers that say in words what is allowed: "must be a number of seconds ...".
CLI::Validator secondsCheck();
CLI::Validator millisecondsCheck();

} // namespace cli
