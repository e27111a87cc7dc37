#include <QMainWindow>
#include <QTest>

#include "GuiTest.h"
#include "common/Zel_msg.h"
#include "platform/data/Abort.h"
#include "platform/data/ClientDataSet.h"
#include "platform/rpc/CheckResult.h"
#include "platform/ui/Boundary.h"
#include "platform/ui/Consiste.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Showavi.h"

using age::ui::Answer;
using age::ui::BoxKind;
using age::ui::MessageService;
using age::ui::ShownBox;
using Boxes = std::vector<ShownBox>;

namespace {

class ServicesTest : public GuiTest {};

TEST_F(ServicesTest, BoundaryDropsAbortsAndShowsOtherFailuresAsErrorBoxes) {
    EXPECT_EQ(Boundary::run([] {}), Boundary::Outcome::Completed);
    EXPECT_EQ(Boundary::run([] { throw EAbort(); }), Boundary::Outcome::Aborted);
    // A refusal from the server was shown where it came in.
    EXPECT_EQ(Boundary::run([] { throw EServerError("recusado"); }), Boundary::Outcome::Aborted);
    EXPECT_TRUE(shown().empty());
    // Texts written for the user are shown as they are; any other failure as one Portuguese sentence.
    EXPECT_EQ(Boundary::run([] { throw EUserError("falhou a conexão"); }), Boundary::Outcome::Failed);
    EXPECT_EQ(Boundary::run([] { throw EConnectionError("Servidor fora do ar."); }), Boundary::Outcome::Failed);
    EXPECT_EQ(Boundary::run([] { throw ERpcError(-32602, "Lista de datas inválida."); }),
              Boundary::Outcome::Failed);
    EXPECT_EQ(Boundary::run([] { TMessages().Msg("sem_chave"); }), Boundary::Outcome::Failed);
    EXPECT_EQ(Boundary::run([] { TClientDataSet("cds").First(); }), Boundary::Outcome::Failed);
    EXPECT_EQ(Boundary::run([] { throw 42; }), Boundary::Outcome::Failed);
    EXPECT_EQ(errorsShown(), (std::vector<std::string>{"falhou a conexão", "Servidor fora do ar.",
                                                       "Lista de datas inválida.", Boundary::kInternalError,
                                                       Boundary::kInternalError, Boundary::kInternalError}));

    // MensErro ends the event only when asked; a refusal from the server is shown as it comes.
    EXPECT_THROW(Consiste::MensErro("Referência deve ser informada.", true), EAbort);
    EXPECT_NO_THROW(Consiste::MensErro("só aviso", false));
    nlohmann::json refused = {{"ok", false}, {"error", "Sala desconhecida."}};
    EXPECT_THROW(Consiste::CheckResultServ(refused, true, 0), EServerError);
    EXPECT_EQ(errorsShown(), (std::vector<std::string>{"Referência deve ser informada.", "só aviso",
                                                       "Sala desconhecida."}));
    EXPECT_TRUE(Consiste::EmptyString("   "));
    EXPECT_FALSE(Consiste::EmptyString(" x "));
}

TEST_F(ServicesTest, ConfirmationsTakeTheScriptedAnswersInOrderAndAnUnscriptedOneIsReported) {
    auto& messages = MessageService::Instance();
    messages.ScriptAnswers({Answer::Yes, Answer::No});
    EXPECT_EQ(messages.Confirm("Confirma exclusão?", Answer::No, Answer::No), Answer::Yes);
    EXPECT_EQ(messages.Confirm("De novo?", Answer::Yes, Answer::No), Answer::No);

    std::string reported;  // not a hang: the last of the offered answers, and a report
    auto saved = std::exchange(messages.OnUnscripted, [&](const std::string& text) { reported = text; });
    Answer answer = messages.Confirm("Sem roteiro?", Answer::Yes, Answer::No);
    messages.OnUnscripted = saved;
    EXPECT_EQ(answer, Answer::No);
    EXPECT_EQ(reported, "Sem roteiro?");
    EXPECT_EQ(shown(), (Boxes{{BoxKind::Confirmation, "Confirma exclusão?"},
                              {BoxKind::Confirmation, "De novo?"},
                              {BoxKind::Confirmation, "Sem roteiro?"}}));
}

TEST_F(ServicesTest, BusyAnimationNestsAndMovesWhileAServerCallWaits) {
    QMainWindow window;
    window.resize(400, 300);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    Showavi::SetHostWindow(&window);
    Showavi::ResetCounters();

    Showavi::ActiveShowAvi();
    Showavi::ActiveShowAvi();
    EXPECT_EQ(Showavi::Depth(), 2);
    EXPECT_EQ(Showavi::Activations(), 1);
    ASSERT_NE(Showavi::Overlay(), nullptr);
    EXPECT_TRUE(Showavi::Overlay()->isVisible());

    // The connection's wait hook is all that runs during a synchronous call: the frames must advance.
    int before = Showavi::Frames();
    for (int i = 0; i < 20 && Showavi::Frames() < before + 3; ++i) {
        QTest::qSleep(50);
        Application::WhileServerCallWaits();
    }
    EXPECT_GE(Showavi::Frames(), before + 3);

    Showavi::DeactiveShowAvi();
    EXPECT_TRUE(Showavi::Overlay()->isVisible());
    Showavi::DeactiveShowAvi();
    Showavi::DeactiveShowAvi();  // unmatched: ignored
    EXPECT_EQ(Showavi::Depth(), 0);
    EXPECT_FALSE(Showavi::Overlay()->isVisible());

    try {  // the guard stops it on every path
        Showavi::TBusy busy;
        EXPECT_EQ(Showavi::Depth(), 1);
        throw std::runtime_error("falha");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(Showavi::Depth(), 0);
    Showavi::SetHostWindow(nullptr);
}

}  // namespace
