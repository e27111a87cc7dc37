// The host's sign-in: once before any module opens, and again whenever a connection finds that the server
// ended the session (the connection then sends the refused call once more).
#pragma once

#include <QString>

#include "host/HostOptions.h"
#include "platform/rpc/NetConnection.h"

class HostWindow;

struct StartSignIn {
    bool signedIn = false;
    QString error;  // when not signed in and not cancelled: what went wrong, for the user
};

// Signs in on `net` (pointed at the host's server): with the password of `options` (AGE_PASSWORD) when it
// has one, otherwise, or after a refusal, through the sign-in dialog until the server accepts or the user
// cancels. `interactive` false shows no dialog. On success the host's values carry the signed-in operator
// and the branch given.
StartSignIn signInAtStart(TNetConnection& net, const HostOptions& options, bool interactive);

// Every connection's hooks: the dialog (operator and branch locked) when a session ended, and the status
// bar told the operator's name (shown at once for the session there is). Not interactive, an ended
// session fails the call.
void installSignInHooks(HostWindow& window, bool interactive);
void removeSignInHooks();
