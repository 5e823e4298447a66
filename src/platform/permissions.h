// Capture-device authorization: what the user has decided about camera and
// microphone access for this program. Only read, never requested.
#pragma once

namespace qln::platform {

enum class CaptureAuthorization { notDetermined, restricted, denied, authorized };

enum class CaptureMediaType { video, audio };

class CapturePermissions {
 public:
  virtual ~CapturePermissions() = default;
  virtual CaptureAuthorization authorizationStatus(CaptureMediaType mediaType) = 0;
};

CapturePermissions& capturePermissions();

}  // namespace qln::platform
