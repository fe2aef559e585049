#include "core/protocol/msg_type.hpp"

namespace kelvo {

std::optional<MsgType> msgTypeFromRaw(uint8_t raw) noexcept {
    for (MsgType type : kAllMsgTypes) {
        if (rawValue(type) == raw) return type;
    }
    return std::nullopt;
}

std::string_view msgTypeName(MsgType type) noexcept {
    switch (type) {
        case MsgType::hello: return "hello";
        case MsgType::helloAck: return "helloAck";
        case MsgType::bye: return "bye";
        case MsgType::ping: return "ping";
        case MsgType::pong: return "pong";
        case MsgType::config: return "config";
        case MsgType::appState: return "appState";
        case MsgType::deviceStatus: return "deviceStatus";
        case MsgType::hostState: return "hostState";
        case MsgType::wakeRequest: return "wakeRequest";
        case MsgType::pair: return "pair";
        case MsgType::pairAck: return "pairAck";
        case MsgType::touchFrame: return "touchFrame";
        case MsgType::uiEvent: return "uiEvent";
        case MsgType::textInput: return "textInput";
        case MsgType::keyEvent: return "keyEvent";
        case MsgType::keyboardState: return "keyboardState";
        case MsgType::cursorShape: return "cursorShape";
        case MsgType::cursorState: return "cursorState";
        case MsgType::uiLayout: return "uiLayout";
        case MsgType::uiState: return "uiState";
        case MsgType::toast: return "toast";
        case MsgType::stats: return "stats";
        case MsgType::log: return "log";
        case MsgType::logConfig: return "logConfig";
        case MsgType::videoHello: return "videoHello";
        case MsgType::streamFormat: return "streamFormat";
        case MsgType::videoFrame: return "videoFrame";
        case MsgType::streamStop: return "streamStop";
        case MsgType::frameAck: return "frameAck";
        case MsgType::keyframeRequest: return "keyframeRequest";
        case MsgType::probeBegin: return "probeBegin";
        case MsgType::probeFrame: return "probeFrame";
        case MsgType::probeResult: return "probeResult";
        case MsgType::benchData: return "benchData";
    }
    return "?";
}

}  // namespace kelvo
