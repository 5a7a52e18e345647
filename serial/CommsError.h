#pragma once
// ECommsError: how the component reports a failure to its owner. No Qt, so
// the words for the operator (OpenFailure) can read it too.

#include "serial/LineSettings.h"

#include <stdexcept>
#include <string>
#include <system_error>

// Every failure of OpenPort, and a change of settings that an open port
// refuses. what() is the component's own message; code() is the system error
// behind it, taken where the failure happened (an errno value in the generic
// category).
class ECommsError : public std::system_error {
public:
    ECommsError(int Errno, const char* Message, const std::string& Cause = std::string())
        : std::system_error(Errno, std::generic_category(), Message)
        , FMessage(Message)
        , FCause(Cause)
    {
    }
    // Line settings the port refused: the errno and the step of the refusal.
    explicit ECommsError(const TApplyResult& Refusal)
        : ECommsError(Refusal.Errno, ("Cannot apply line settings: " + std::string(Refusal.Step)).c_str())
    {
        FStep = std::runtime_error(Refusal.Step);
    }
    // The message alone: system_error would append the error's text.
    const char* what() const noexcept override { return FMessage.what(); }
    // What the user is told in place of the system's reason, when the port
    // was refused for a reason of our own; "" otherwise.
    std::string Cause() const { return FCause.what(); }
    // The call that refused the line settings ("tcsetattr", ...); "" for
    // every other failure.
    std::string Step() const { return FStep.what(); }

private:
    std::runtime_error FMessage; // copies without throwing
    std::runtime_error FCause;
    std::runtime_error FStep{""};
};
