#pragma once

#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace cmdline {

// Turns an option's value text into a T. Supported: int, bool, std::wstring.
// Numbers use wide-stream extraction and must consume the whole text; a bool
// is the number 0 or 1 ("true" is not accepted).
template <typename T>
struct default_reader {
  std::optional<T> operator()(const std::wstring& text) const {
    static_assert(std::is_same_v<T, int> || std::is_same_v<T, bool>);
    std::wistringstream stream(text);
    T value{};
    stream >> std::noboolalpha >> value;
    if (stream.fail() || !stream.eof()) return std::nullopt;
    return value;
  }
};

template <>
struct default_reader<std::wstring> {
  std::optional<std::wstring> operator()(const std::wstring& text) const { return text; }
};

// A parser for wide command lines. Problems are collected in errors() rather
// than thrown; given marks and values survive from one parse to the next.
class parser {
 public:
  class option_base {
   public:
    virtual ~option_base() = default;
    virtual bool takes_value() const = 0;
    [[nodiscard]] virtual bool set(const std::wstring& value) = 0;
    [[nodiscard]] virtual bool set() = 0;
    virtual bool is_set() const = 0;
    virtual bool is_valid() const = 0;
    virtual bool is_required() const = 0;
    virtual const std::wstring& long_name() const = 0;
    virtual wchar_t short_name() const = 0;
    virtual const std::wstring& description() const = 0;
    virtual std::wstring short_description() const = 0;
  };

  class option_without_value : public option_base {
   public:
    option_without_value(std::wstring long_name, wchar_t short_name, std::wstring description);
    bool takes_value() const override { return false; }
    bool set(const std::wstring&) override { return false; }
    bool set() override;
    bool is_set() const override { return given_; }
    bool is_valid() const override { return true; }
    bool is_required() const override { return false; }
    const std::wstring& long_name() const override { return long_name_; }
    wchar_t short_name() const override { return short_name_; }
    const std::wstring& description() const override { return description_; }
    std::wstring short_description() const override;

   private:
    std::wstring long_name_;
    wchar_t short_name_;
    std::wstring description_;
    bool given_ = false;
  };

  template <typename T>
  class option_with_value : public option_base {
   public:
    option_with_value(std::wstring long_name, wchar_t short_name, bool required,
                      std::wstring description, T default_value)
        : long_name_(std::move(long_name)),
          short_name_(short_name),
          required_(required),
          description_(complete_description(std::move(description), required, default_value)),
          actual_value_(std::move(default_value)) {}

    bool takes_value() const override { return true; }
    bool set(const std::wstring& value) override {
      std::optional<T> read_value = read(value);
      if (!read_value) return false;
      actual_value_ = std::move(*read_value);
      given_ = true;
      return true;
    }
    bool set() override { return false; }
    bool is_set() const override { return given_; }
    bool is_valid() const override { return given_ || !required_; }
    bool is_required() const override { return required_; }
    const std::wstring& long_name() const override { return long_name_; }
    wchar_t short_name() const override { return short_name_; }
    const std::wstring& description() const override { return description_; }
    std::wstring short_description() const override {
      return L"--" + long_name_ + L"=" + type_name();
    }
    const T& value() const { return actual_value_; }

   protected:
    virtual std::optional<T> read(const std::wstring& text) const = 0;

   private:
    static std::wstring type_name() {
      if constexpr (std::is_same_v<T, std::wstring>)
        return L"string";
      else if constexpr (std::is_same_v<T, bool>)
        return L"bool";
      else
        return L"int";
    }
    static std::wstring complete_description(std::wstring text, bool required,
                                             const T& default_value) {
      text += L" (" + type_name();
      if (!required) {
        std::wostringstream shown;
        shown << default_value;
        text += L" [=" + shown.str() + L"]";
      }
      return text + L")";
    }

    std::wstring long_name_;
    wchar_t short_name_;
    bool required_;
    std::wstring description_;
    bool given_ = false;
    T actual_value_;
  };

  template <typename T, typename Reader>
  class option_with_value_with_reader : public option_with_value<T> {
   public:
    using option_with_value<T>::option_with_value;

   protected:
    std::optional<T> read(const std::wstring& text) const override { return Reader()(text); }
  };

  parser() = default;
  parser(const parser&) = delete;
  parser& operator=(const parser&) = delete;
  // The options live on the heap, so the registration order moves along.
  parser(parser&&) = default;
  parser& operator=(parser&&) = default;

  // False, and nothing added, when the long name is taken.
  template <typename T>
  [[nodiscard]] bool add(const std::wstring& long_name, wchar_t short_name,
                         const std::wstring& description, bool required, T default_value) {
    return add_option(std::make_unique<option_with_value_with_reader<T, default_reader<T>>>(
        long_name, short_name, required, description, std::move(default_value)));
  }
  [[nodiscard]] bool add_flag(const std::wstring& long_name, wchar_t short_name,
                              const std::wstring& description);

  // argv[0] is the program path. True exactly when no error was found.
  [[nodiscard]] bool parse(int argc, const wchar_t* const argv[]);

  bool is_given(const std::wstring& long_name) const;

  // The option's value (its default when not given); empty for an unknown
  // name or another value type.
  template <typename T>
  std::optional<T> get(const std::wstring& long_name) const {
    const auto found = options_.find(long_name);
    if (found == options_.end()) return std::nullopt;
    const auto* option = dynamic_cast<const option_with_value<T>*>(found->second.get());
    if (option == nullptr) return std::nullopt;
    return option->value();
  }

  const std::vector<std::wstring>& rest() const { return rest_; }
  const std::vector<std::wstring>& errors() const { return errors_; }
  // One line per option, in registration order.
  std::wstring usage() const;

 private:
  [[nodiscard]] bool add_option(std::unique_ptr<option_base> option);
  void set_flag_option(const std::wstring& long_name);
  void set_value_option(const std::wstring& long_name, const std::wstring& value);
  [[nodiscard]] bool build_short_names(std::map<wchar_t, std::wstring>& short_names);
  void parse_short_group(const std::wstring& group,
                         const std::map<wchar_t, std::wstring>& short_names, int argc,
                         const wchar_t* const argv[], int& index);
  const std::wstring* find_short(wchar_t name, const std::map<wchar_t, std::wstring>& table);

  std::map<std::wstring, std::unique_ptr<option_base>> options_;
  std::vector<option_base*> ordered_;
  std::vector<std::wstring> rest_;
  std::vector<std::wstring> errors_;
};

}  // namespace cmdline
