// Every field of a legacy or a unified rule record in one line of text, in
// declaration order, so that lists of records compare in one assertion with a
// readable failure. Shared by the unit tests and the fuzz targets, so that
// there is one place to add a new field to.
#pragma once

#include "common.h"
#include "convertationToNew.h"

#include <string>
#include <string_view>
#include <vector>

namespace records {

// A field added to a record changes the record's size on the one platform
// the project builds for: these fail then, until the field is added below.
static_assert(sizeof(SystemRuleInfo) == 200, "a field of SystemRuleInfo is missing below");
static_assert(sizeof(NetworkFlowRuleInfo) == 248,
              "a field of NetworkFlowRuleInfo is missing below");
static_assert(sizeof(RuleInfo) == 288, "a field of RuleInfo is missing below");

// Builds "name=value" pairs; text values in brackets, control bytes escaped.
class Line {
  public:
    Line& field(const char* name, std::string_view value) {
        return add(name, "[" + messagePath(value) + "]");
    }
    Line& field(const char* name, bool value) { return add(name, value ? "true" : "false"); }
    Line& field(const char* name, uint64_t value) { return add(name, std::to_string(value)); }
    Line& field(const char* name, int32_t value) { return add(name, std::to_string(value)); }
    const std::string& text() const { return text_; }

  private:
    Line& add(const char* name, const std::string& value) {
        text_ += (text_.empty() ? "" : " ") + std::string(name) + "=" + value;
        return *this;
    }
    std::string text_;
};

inline std::string text(const SystemRuleInfo& r) {
    return Line()
        .field("id", r.id)
        .field("order", r.order)
        .field("audit", r.audit)
        .field("enable", r.enable)
        .field("message", r.message)
        .field("access", r.access)
        .field("proto", r.proto)
        .field("icmpType", r.icmpType)
        .field("icmpCode", r.icmpCode)
        .field("icmpSend", r.icmpSend)
        .field("icmpReceive", r.icmpReceive)
        .field("localAddrs", r.localAddrs)
        .field("remoteAddrs", r.remoteAddrs)
        .field("adapters", r.adapters)
        .field("exefile", r.exefile)
        .field("substr", r.substr)
        .field("schedule", r.schedule)
        .field("content", r.content)
        .field("nocase", r.nocase)
        .field("isDefault", r.isDefault)
        .text();
}

inline std::string text(const NetworkFlowRuleInfo& r) {
    return Line()
        .field("id", r.id)
        .field("order", r.order)
        .field("audit", r.audit)
        .field("enable", r.enable)
        .field("message", r.message)
        .field("access", r.access)
        .field("proto", r.proto)
        .field("localAddrs", r.localAddrs)
        .field("localPorts", r.localPorts)
        .field("remoteAddrs", r.remoteAddrs)
        .field("remotePorts", r.remotePorts)
        .field("direction", r.direction)
        .field("schedule", r.schedule)
        .field("exefile", r.exefile)
        .field("substr", r.substr)
        .field("content", r.content)
        .field("wildcard", r.wildcard)
        .field("regexp", r.regexp)
        .field("nocase", r.nocase)
        .field("isDefault", r.isDefault)
        .text();
}

inline std::string text(const RuleInfo& r) {
    return Line()
        .field("id", r.id)
        .field("order", r.order)
        .field("icmpType", r.icmpType)
        .field("icmpCode", r.icmpCode)
        .field("subjects", r.subjects)
        .field("objects", r.objects)
        .field("message", r.message)
        .field("action", r.action)
        .field("protocol", r.protocol)
        .field("localAddrs", r.localAddrs)
        .field("localPorts", r.localPorts)
        .field("remoteAddrs", r.remoteAddrs)
        .field("remotePorts", r.remotePorts)
        .field("adapters", r.adapters)
        .field("exefile", r.exefile)
        .field("schedule", r.schedule)
        .field("content", r.content)
        .field("direction", r.direction)
        .field("wildcard", r.wildcard)
        .field("regexp", r.regexp)
        .field("audit", r.audit)
        .field("alarm", r.alarm)
        .field("enable", r.enable)
        .field("substr", r.substr)
        .field("nocase", r.nocase)
        .text();
}

template <typename Record> std::vector<std::string> texts(const std::vector<Record>& rules) {
    std::vector<std::string> lines;
    for (const auto& rule : rules) {
        lines.push_back(text(rule));
    }
    return lines;
}

} // namespace records
