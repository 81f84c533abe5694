// Conference PINs: a random four-digit PIN (1000 to 9998) that no conference uses yet in the
// same column, and the three actions that hand one out with the list of PINs in use.
//
// Thread safety: every function may run in several threads at once. Nothing is reserved, so two
// calls in quick succession may hand out the same PIN.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

namespace parlevo {

inline constexpr int kLowestPin = 1000;
inline constexpr int kHighestPin = 9998;
// DetectNextFreePin's answer when the column cannot be read.
inline constexpr int kPinColumnUnreadable = -1;
// DetectNextFreePin's answer when every PIN of the range is in use.
inline constexpr int kNoFreePin = 0;

// Reads the column ("PinHost", "PinMember" or "PinListenOnly") of every conference into used
// (distinct texts in the order first met; an empty value is one entry) and draws a PIN whose
// decimal text is not among them, uniformly from all such PINs.
int DetectNextFreePin(std::string_view column, std::vector<std::string>& used);

// The used-PIN list as the answer carries it: entries joined with ";", the separator written
// only once something has been written (so leading empty entries leave no trace).
std::string JoinUsedPins(const std::vector<std::string>& used);

void GetNextFreeHostPin(pugi::xml_document& request, pugi::xml_document& response,
                        std::string& result);
void GetNextFreeMemberPin(pugi::xml_document& request, pugi::xml_document& response,
                          std::string& result);
void GetNextFreeListenOnlyPin(pugi::xml_document& request, pugi::xml_document& response,
                              std::string& result);

}  // namespace parlevo
