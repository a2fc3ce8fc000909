#include "cmdline/parser.h"

namespace cmdline {

parser::option_without_value::option_without_value(std::wstring long_name, wchar_t short_name,
                                                   std::wstring description)
    : long_name_(std::move(long_name)),
      short_name_(short_name),
      description_(std::move(description)) {}

bool parser::option_without_value::set() {
  given_ = true;
  return true;
}

std::wstring parser::option_without_value::short_description() const { return L"--" + long_name_; }

bool parser::add_flag(const std::wstring& long_name, wchar_t short_name,
                      const std::wstring& description) {
  return add_option(std::make_unique<option_without_value>(long_name, short_name, description));
}

bool parser::add_option(std::unique_ptr<option_base> option) {
  const std::wstring name = option->long_name();
  if (options_.contains(name)) return false;
  ordered_.push_back(option.get());
  options_.emplace(name, std::move(option));
  return true;
}

bool parser::is_given(const std::wstring& long_name) const {
  const auto found = options_.find(long_name);
  return found != options_.end() && found->second->is_set();
}

std::wstring parser::usage() const {
  std::wstring text;
  for (const option_base* option : ordered_) {
    text += option->short_description() + L"  " + option->description() + L"\n";
  }
  return text;
}

void parser::set_flag_option(const std::wstring& long_name) {
  const auto found = options_.find(long_name);
  if (found == options_.end()) {
    errors_.push_back(L"undefined option: --" + long_name);
  } else if (!found->second->set()) {
    errors_.push_back(L"option needs value: --" + long_name);
  }
}

void parser::set_value_option(const std::wstring& long_name, const std::wstring& value) {
  const auto found = options_.find(long_name);
  if (found == options_.end()) {
    errors_.push_back(L"undefined option: --" + long_name);
  } else if (!found->second->set(value)) {
    errors_.push_back(L"option value is invalid: --" + long_name + L"=" + value);
  }
}

// Two options claiming one short name stop the parse before any argument is
// read, so a looked-up short name is never ambiguous.
bool parser::build_short_names(std::map<wchar_t, std::wstring>& short_names) {
  for (const auto& [long_name, option] : options_) {
    const wchar_t short_name = option->short_name();
    if (long_name.empty() || short_name == 0) continue;
    if (!short_names.emplace(short_name, long_name).second) {
      errors_.push_back(std::wstring(L"short option '") + short_name + L"' is ambiguous");
      return false;
    }
  }
  return true;
}

const std::wstring* parser::find_short(wchar_t name, const std::map<wchar_t, std::wstring>& table) {
  const auto found = table.find(name);
  if (found == table.end()) {
    errors_.push_back(std::wstring(L"undefined short option: -") + name);
    return nullptr;
  }
  return &found->second;
}

void parser::parse_short_group(const std::wstring& group,
                               const std::map<wchar_t, std::wstring>& short_names, int argc,
                               const wchar_t* const argv[], int& index) {
  for (size_t position = 0; position + 1 < group.size(); ++position) {
    if (const std::wstring* long_name = find_short(group[position], short_names)) {
      set_flag_option(*long_name);
    }
  }
  const std::wstring* last = find_short(group.back(), short_names);
  if (last == nullptr) return;
  if (index + 1 < argc && options_.at(*last)->takes_value()) {
    set_value_option(*last, argv[++index]);
  } else {
    set_flag_option(*last);
  }
}

bool parser::parse(int argc, const wchar_t* const argv[]) {
  errors_.clear();
  rest_.clear();
  if (argc < 1) {
    errors_.push_back(L"argument number must be longer than 0");
    return false;
  }
  std::map<wchar_t, std::wstring> short_names;
  if (!build_short_names(short_names)) return false;

  for (int index = 1; index < argc; ++index) {
    const std::wstring argument = argv[index];
    if (argument.starts_with(L"--")) {
      const std::wstring body = argument.substr(2);
      const size_t equals = body.find(L'=');
      if (equals != std::wstring::npos) {
        set_value_option(body.substr(0, equals), body.substr(equals + 1));
        continue;
      }
      const auto found = options_.find(body);
      if (found == options_.end()) {
        errors_.push_back(L"undefined option: --" + body);
      } else if (!found->second->takes_value()) {
        set_flag_option(body);
      } else if (index + 1 < argc) {
        set_value_option(body, argv[++index]);
      } else {
        errors_.push_back(L"option needs value: --" + body);
      }
    } else if (argument.starts_with(L"-")) {
      if (argument.size() > 1) {
        parse_short_group(argument.substr(1), short_names, argc, argv, index);
      }
    } else {
      rest_.push_back(argument);
    }
  }

  for (const auto& [long_name, option] : options_) {
    if (!option->is_valid()) errors_.push_back(L"need option: --" + long_name);
  }
  return errors_.empty();
}

}  // namespace cmdline
