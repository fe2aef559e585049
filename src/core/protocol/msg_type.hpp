#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvo {

// The message-type byte of a frame. Receivers switch on the case; a byte outside this list is
// still delivered (WireMessage::type() is then absent) and its handler decides.
enum class MsgType : uint8_t {
    hello = 0x01,
    helloAck = 0x02,
    bye = 0x03,
    ping = 0x04,
    pong = 0x05,
    config = 0x06,
    appState = 0x07,
    deviceStatus = 0x08,
    hostState = 0x09,
    wakeRequest = 0x0A,
    pair = 0x0B,
    pairAck = 0x0C,
    touchFrame = 0x10,
    uiEvent = 0x11,
    textInput = 0x12,
    keyEvent = 0x13,
    keyboardState = 0x14,
    cursorShape = 0x20,
    cursorState = 0x21,
    uiLayout = 0x30,
    uiState = 0x31,
    toast = 0x32,
    stats = 0x40,
    log = 0x41,
    logConfig = 0x42,
    videoHello = 0x80,
    streamFormat = 0x81,
    videoFrame = 0x82,
    streamStop = 0x83,
    frameAck = 0x84,
    keyframeRequest = 0x85,
    probeBegin = 0x86,
    probeFrame = 0x87,
    probeResult = 0x88,
    benchData = 0xF0,  // declared only: nothing sends or handles it
};

// Every case in wire-table order.
inline constexpr std::array<MsgType, 35> kAllMsgTypes{
    MsgType::hello,         MsgType::helloAck,    MsgType::bye,          MsgType::ping,
    MsgType::pong,          MsgType::config,      MsgType::appState,     MsgType::deviceStatus,
    MsgType::hostState,     MsgType::wakeRequest, MsgType::pair,         MsgType::pairAck,
    MsgType::touchFrame,    MsgType::uiEvent,     MsgType::textInput,    MsgType::keyEvent,
    MsgType::keyboardState, MsgType::cursorShape, MsgType::cursorState,  MsgType::uiLayout,
    MsgType::uiState,       MsgType::toast,       MsgType::stats,        MsgType::log,
    MsgType::logConfig,     MsgType::videoHello,  MsgType::streamFormat, MsgType::videoFrame,
    MsgType::streamStop,    MsgType::frameAck,    MsgType::keyframeRequest, MsgType::probeBegin,
    MsgType::probeFrame,    MsgType::probeResult, MsgType::benchData,
};

constexpr uint8_t rawValue(MsgType type) noexcept { return static_cast<uint8_t>(type); }

// The case with this byte; absent for any byte not in the list.
std::optional<MsgType> msgTypeFromRaw(uint8_t raw) noexcept;

// The case name ("helloAck"), for logs.
std::string_view msgTypeName(MsgType type) noexcept;

}  // namespace kelvo
