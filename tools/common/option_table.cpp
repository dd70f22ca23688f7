#include "option_table.h"

#include <limits>
#include <utility>

namespace kmq {
namespace {

std::string Fill(std::string text, const std::string& name, const std::string& value) {
  for (const auto& [key, with] : {std::make_pair(std::string("{name}"), name),
                                  std::make_pair(std::string("{value}"), value)}) {
    for (size_t at = text.find(key); at != std::string::npos;
         at = text.find(key, at + with.size())) {
      text.replace(at, key.size(), with);
    }
  }
  return text;
}

bool LooksLikeOption(const std::string& word) { return word.size() > 1 && word[0] == '-'; }

const Option* Find(const OptionTable& table, const std::string& word) {
  for (const OptionGroup& group : table.mGroups) {
    for (const Option& option : group.mOptions) {
      if (option.mSet &&
          (word == option.mName || (!option.mAlias.empty() && word == option.mAlias))) {
        return &option;
      }
    }
  }
  return nullptr;
}

}  // namespace

Option Flag(const std::string& name, bool* target, const std::string& help, bool value) {
  Option option;
  option.mName = name;
  option.mHelp = help;
  option.mSet = [target, value](const std::string&, std::string*) {
    *target = value;
    return true;
  };
  return option;
}

Option HelpFlag(bool* target, const std::string& help) {
  Option option = Flag("--help", target, help);
  option.mAlias = "-h";
  option.mEndsParsing = true;
  return option;
}

Option Text(const std::string& name, const std::string& value, std::string* target,
            const std::string& help, const std::string& problem, bool allowEmpty) {
  return Custom(
      name, value,
      [target, allowEmpty](const std::string& text, std::string*) {
        if (text.empty() && !allowEmpty) return false;
        *target = text;
        return true;
      },
      help, problem);
}

Option Number(const std::string& name, const std::string& value, double* target, double min,
              double max, bool minExcluded, const std::string& help, const std::string& problem) {
  std::string told = problem;
  if (told.empty()) {
    told = minExcluded && min == 0
               ? "{name} needs a positive number"
               : "{name} needs a number from " + Format(min) + " to " + Format(max);
  }
  return Custom(
      name, value,
      [target, min, max, minExcluded](const std::string& text, std::string*) {
        double number = 0;
        if (!ReadNumber(text, &number) || number < min || (minExcluded && number == min) ||
            number > max) {
          return false;
        }
        *target = number;
        return true;
      },
      help, told);
}

Option Positive(const std::string& name, const std::string& value, double* target,
                const std::string& help, const std::string& problem) {
  return Number(name, value, target, 0, std::numeric_limits<double>::max(), true, help, problem);
}

Option Custom(const std::string& name, const std::string& value, Option::Setter set,
              const std::string& help, const std::string& problem) {
  Option option;
  option.mName = name;
  option.mValue = value;
  option.mHelp = help;
  option.mProblem = problem.empty() ? "{name} needs a value" : problem;
  option.mSet = std::move(set);
  return option;
}

Option SeeAlso(const std::string& label, const std::string& help) {
  Option option;
  option.mName = label;
  option.mHelp = help;
  return option;
}

std::string Usage(const OptionTable& table) {
  std::string text = table.mIntro;
  bool first = true;
  for (const OptionGroup& group : table.mGroups) {
    if (!first) text += "\n";
    first = false;
    if (!group.mTitle.empty()) text += group.mTitle + "\n";
    const std::string indent(static_cast<size_t>(group.mColumn) + 2, ' ');
    for (const Option& option : group.mOptions) {
      std::string label = option.mName;
      if (!option.mValue.empty()) label += " " + option.mValue;
      // At least two blanks between the label and its help.
      if (label.size() + 2 <= static_cast<size_t>(group.mColumn)) {
        label.resize(static_cast<size_t>(group.mColumn), ' ');
      } else {
        label += "  ";
      }
      std::string help = option.mHelp;
      for (size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1)) {
        help.insert(at + 1, indent);
      }
      text += "  " + label + help + "\n";
    }
  }
  return text + table.mOutro;
}

bool ParseOptions(const OptionTable& table, const std::vector<std::string>& args,
                  std::vector<std::string>* operands, std::string* problem) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    const Option* option = Find(table, word);
    if (option == nullptr) {
      if (table.mOperands && !LooksLikeOption(word)) {
        if (operands != nullptr) operands->push_back(word);
        continue;
      }
      *problem = Fill(table.mUnknown, word, "");
      return false;
    }
    std::string value;
    if (!option->mValue.empty()) {
      const bool present = i + 1 < args.size();
      if (option->mValueOptional) {
        if (present && !LooksLikeOption(args[i + 1])) value = args[++i];
      } else if (!present) {
        *problem = Fill(table.mMissing.empty() ? option->mProblem : table.mMissing, word, "");
        return false;
      } else {
        value = args[++i];
      }
    }
    std::string told = Fill(option->mProblem, word, value);
    if (!option->mSet(value, &told)) {
      *problem = told;
      return false;
    }
    if (option->mEndsParsing) return true;
  }
  return true;
}

}  // namespace kmq
