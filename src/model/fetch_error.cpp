#include "model/fetch_error.h"

#include "model/group_record.h"

namespace velmora {

bool HandleFetchErrorMessage(AppMessage& message) {
  auto* state = std::get_if<MsgFetchError>(&message);
  if (state == nullptr) return false;
  if (state->record && state->record->errorShown != state->error) {
    state->record->errorShown = state->error;
    state->changed = true;
    RefreshItemState(*state->record);
  }
  return true;
}

}  // namespace velmora
