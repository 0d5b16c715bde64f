// The notification framework's error domain and codes.
#pragma once

#include <cstdint>

namespace objc {

// The domain of the notification framework's errors, and its codes.
inline constexpr const char* UNErrorDomain = "UNErrorDomain";
using UNErrorCode = int64_t;
inline constexpr UNErrorCode UNErrorCodeNotificationsNotAllowed = 1;
inline constexpr UNErrorCode UNErrorCodeAttachmentInvalidURL = 100;
inline constexpr UNErrorCode UNErrorCodeAttachmentUnrecognizedType = 101;
inline constexpr UNErrorCode UNErrorCodeAttachmentInvalidFileSize = 102;
inline constexpr UNErrorCode UNErrorCodeAttachmentNotInDataStore = 103;
inline constexpr UNErrorCode UNErrorCodeAttachmentMoveIntoDataStoreFailed = 104;
inline constexpr UNErrorCode UNErrorCodeAttachmentCorrupt = 105;

}  // namespace objc
