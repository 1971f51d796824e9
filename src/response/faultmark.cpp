// pravel.response.faultmark: the service's built-in error codes, an Enum
// whose members are (code, msg) pairs.
#include "pravel.hpp"

using pv::ref;

namespace {

struct state : pv::state_base {
    pv::name value{"_value_"}, Enum{"Enum"};
};

constexpr const char* faultmark_doc = R"(
    统一错误码枚举。

    每个成员为 (code, msg) 元组：
    - code: 错误标识字符串
    - msg: 用户可读的错误描述
    )";

// Member name (= code) and user-facing message, in definition order.
constexpr const char* members[][2] = {
    {"SUCCESS", "服务完成"},
    {"SERVICE_BUSY", "服务繁忙，请稍后再试"},
    {"TIMEOUT", "服务超时，请稍后重试"},
    {"IMAGE_GENERATE_FAIL", "图片生成失败，请稍后重试"},
    {"NO_IMAGE_RESULT", "模型未返回图片结果,请调整图像或提示词后重试"},
    {"IMAGE_INVALID", "图片无效或已损坏，请上传有效的图片"},
    {"IMAGE_FORMAT_UNSUPPORTED", "不支持的图片格式"},
    {"IMAGE_SIZE_EXCEEDED", "图片尺寸超出限制，请调整图片大小后重试"},
    {"CONTENT_POLICY_VIOLATION", "您的请求包含违反平台政策的内容,请调整图像或提示词后重试"},
    {"IMAGE_BANNED", "图片包含违禁内容，请更换图片后重试"},
    {"PROMPT_BANNED", "提示词包含违禁内容，请修改后重试"},
    {"PROMPT_EMPTY", "提示词不能为空"},
    {"PROMPT_TOO_LONG", "提示词超出长度限制，请精简后重试"},
    {"INVALID_PARAMS", "请求参数无效，请检查后重试"},
    {"INSUFFICIENT_BALANCE", "服务API余额不足，联系客服充值后重试"},
    {"QUOTA_EXCEEDED", "请求配额已用完，请稍后重试或升级套餐"},
    {"RATE_LIMIT", "请求过于频繁，请稍后再试"},
    {"AUTH_FAILED", "认证失败，请检查 API Key 是否有效"},
};

// `value` of an Enum member is its `_value_`; read directly, it skips the
// enumeration's Python-level property.
ref code(state& st, ref self) { return self.attr(st.value).item(0); }
ref msg(state& st, ref self) { return self.attr(st.value).item(1); }

void exec(state& st) {
    st.import_from("enum", {"Enum"});

    pv::class_builder faultmark(st, "Faultmark", faultmark_doc, {st.global(st.Enum).get()});
    for (const auto& [name, message] : members) faultmark.attr(name, pv::tuple(name, message));
    faultmark.property<code>("code", "str").property<msg>("msg", "str");
    st.publish("Faultmark", faultmark.finish());
}

}  // namespace

PRAVEL_MODULE(faultmark, "pravel.response.faultmark", state, exec, pv::interpreters::own_gil)
