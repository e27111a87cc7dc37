// The one place where the framework meets the toolkit's event loop. Every slot or event that runs a
// screen's handlers goes through run(): the silent abort ends the handler without a word, any other
// exception is shown in the host's error box, and nothing ever crosses the event loop.
//
// What reaches the box is always Portuguese: the texts written for the user (EUserError, the server's
// messages, the connection's failures) as they are; any other failure (a data set misused, a reply that
// cannot be read, a missing catalogue key) as one plain sentence, its technical detail in the warning log.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

// A failure whose text is meant for the user as it is (Portuguese).
class EUserError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace Boundary {

enum class Outcome { Completed, Aborted, Failed };

// The sentence the user sees for a failure that carries no text of its own for them.
inline const std::string kInternalError =
    "Erro interno do sistema: a operação não foi concluída. Os detalhes técnicos foram registrados.";

// Runs fn; returns how it ended. EAbort (and everything derived from it) gives Aborted and shows nothing;
// any other exception is shown as an error and gives Failed.
Outcome run(const std::function<void()>& fn);

// For painting and similar places where no box may open: failures are written to the warning log.
Outcome runQuiet(const std::function<void()>& fn);

inline bool completed(Outcome o) { return o == Outcome::Completed; }

}  // namespace Boundary
