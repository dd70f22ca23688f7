// The command-line tools' option parser: each tool lists its options in a table (name, value,
// range, target, help) and the table both parses the words and prints the usage, so that the
// two cannot drift apart. A table is built and used on one thread; it writes only the targets
// its rows were given, which must outlive it.
#ifndef KMQ_TOOLS_COMMON_OPTION_TABLE_H_
#define KMQ_TOOLS_COMMON_OPTION_TABLE_H_

#include <functional>
#include <string>
#include <vector>

#include "tool_text.h"

namespace kmq {

// One row of a table: an option, or a line of the usage that names one (mSet empty).
struct Option {
  // Takes the option's value ("" for a flag). On a bad value returns false and may replace
  // *problem, which holds the row's mProblem with {name} and {value} filled in.
  using Setter = std::function<bool(const std::string& value, std::string* problem)>;

  std::string mName;   // "--port"
  std::string mAlias;  // another spelling ("-h"), not shown in the usage; may be empty
  std::string mValue;  // what the value is called in the usage ("N"); "" for a flag
  // With a value: the next word is taken only when it does not look like an option.
  bool mValueOptional = false;
  // Parsing ends here, successfully (--help).
  bool mEndsParsing = false;
  // The usage text after the name; a '\n' goes on in the help column.
  std::string mHelp;
  // What a bad value is told; {name} and {value} are replaced by the option and the word.
  std::string mProblem;
  Setter mSet;
};

// A flag: sets *target to value.
Option Flag(const std::string& name, bool* target, const std::string& help, bool value = true);
// --help and -h: sets *target and ends parsing.
Option HelpFlag(bool* target, const std::string& help = "this text");
// A word, non-empty unless allowEmpty. Default problem: "{name} needs a value".
Option Text(const std::string& name, const std::string& value, std::string* target,
            const std::string& help, const std::string& problem = "", bool allowEmpty = false);
// A finite number in [min, max], or in (min, max] with minExcluded (ReadNumber). Default
// problem: "{name} needs a positive number" with minExcluded and min 0, else "{name} needs a
// number from MIN to MAX".
Option Number(const std::string& name, const std::string& value, double* target, double min,
              double max, bool minExcluded, const std::string& help,
              const std::string& problem = "");
// A number greater than 0.
Option Positive(const std::string& name, const std::string& value, double* target,
                const std::string& help, const std::string& problem = "");
// A value read by set. Default problem: "{name} needs a value".
Option Custom(const std::string& name, const std::string& value, Option::Setter set,
              const std::string& help, const std::string& problem = "");
// A usage line for an option listed elsewhere in the table, in the context of this group.
Option SeeAlso(const std::string& label, const std::string& help);

// A whole number in [min, max] (ReadInteger). Default problem: "{name} needs a number from
// MIN to MAX".
template <typename T>
Option Integer(const std::string& name, const std::string& value, T* target, T min, T max,
               const std::string& help, const std::string& problem = "") {
  return Custom(
      name, value,
      [target, min, max](const std::string& text, std::string*) {
        return ReadInteger(text, min, max, target);
      },
      help,
      problem.empty()
          ? "{name} needs a number from " + std::to_string(min) + " to " + std::to_string(max)
          : problem);
}

// Options shown under one title, their help starting mColumn characters after the indent.
struct OptionGroup {
  std::string mTitle;  // a line (or lines) above the options; may be empty
  int mColumn = 18;
  std::vector<Option> mOptions;
};

struct OptionTable {
  std::string mIntro;  // the usage before the options: synopsis and description
  std::vector<OptionGroup> mGroups;
  std::string mOutro;  // the usage after the options
  // What an unknown option is told ({name} is the word).
  std::string mUnknown = "unknown option '{name}'";
  // What an option whose value is missing is told; "" tells it the row's mProblem.
  std::string mMissing;
  // Whether words that are not options (including a lone "-") are accepted as operands; when
  // not, they are refused as unknown options.
  bool mOperands = false;
};

// The usage: intro, the groups (a blank line between two), outro.
std::string Usage(const OptionTable& table);

// Parses args (without the program name) in order, handing each option's value to its row.
// Operands go to *operands when the table takes them. False with *problem set at the first
// unknown option, missing value or bad value; rows before it have been applied.
bool ParseOptions(const OptionTable& table, const std::vector<std::string>& args,
                  std::vector<std::string>* operands, std::string* problem);

}  // namespace kmq

#endif  // KMQ_TOOLS_COMMON_OPTION_TABLE_H_
