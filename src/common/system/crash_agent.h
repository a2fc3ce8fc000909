#pragma once

#include <cstdint>

// The agent that client_extension.dll hands out through its export
// CreateFennoAgent. The library is built apart from this program: the order of
// the operations below is its binary interface and must not change. The
// launcher calls eight of them; the reserved slots only keep the order.
namespace crash {

using CrashCallback = void (*)();

// The runtime's own setters, so the agent can install its handlers into the
// runtime this program was built with rather than into its own.
// The types are those of the C runtime's _set_purecall_handler and
// _set_invalid_parameter_handler.
using PurecallHandler = void (*)();
using InvalidParameterHandler = void (*)(const wchar_t* expression, const wchar_t* function,
                                         const wchar_t* file, unsigned line,
                                         std::uintptr_t reserved);
struct RuntimeHandlerSetters {
  PurecallHandler (*set_purecall_handler)(PurecallHandler);
  InvalidParameterHandler (*set_invalid_parameter_handler)(InvalidParameterHandler);
};

class CrashAgent {
 public:
  virtual void Init(const wchar_t* handler_path, const wchar_t* data_dir,
                    const wchar_t* second_data_dir, const wchar_t* app_code,
                    const wchar_t* app_guid, const wchar_t* product_version,
                    const wchar_t* package_id, const wchar_t* module_name,
                    const wchar_t* process_name, const char* component_version,
                    std::uint32_t setting, bool flag1, bool flag2, bool flag3, bool flag4,
                    bool flag5) = 0;
  // 0 when the buffer was filled with a path for RegisterProcessWithPath.
  virtual int QueryPathBuffer(wchar_t* buffer, std::uint32_t capacity) = 0;
  virtual void Reserved3() = 0;
  virtual void RegisterProcess(std::uint32_t process_id, const wchar_t* module_name,
                               std::uint32_t module_name_length, const wchar_t* data_dir,
                               std::uint32_t data_dir_length) = 0;
  virtual void RegisterProcessWithPath(const wchar_t* path, std::uint32_t process_id,
                                       const wchar_t* module_name, std::uint32_t module_name_length,
                                       const wchar_t* data_dir, std::uint32_t data_dir_length) = 0;
  virtual void SetKeyValue(const char* key, const char* value) = 0;
  virtual void Reserved7() = 0;
  virtual void Reserved8() = 0;
  virtual void SetCrashCallback(CrashCallback callback, void* context) = 0;
  virtual void Reserved10() = 0;
  virtual void Reserved11() = 0;
  virtual void SetRuntimeHandlerSetters(const RuntimeHandlerSetters* setters) = 0;
  virtual void Reserved13() = 0;
  virtual void SetFlagAndSize(bool flag, std::uint32_t size) = 0;

 protected:
  ~CrashAgent() = default;
};

// The library's factory export.
inline constexpr char kFactoryExport[] = "CreateFennoAgent";
using CreateAgentFunction = CrashAgent* (*)();

}  // namespace crash
