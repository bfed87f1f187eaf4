// The window as screen readers and keyboards meet it.
#include "platform/window/gtk_window_fixture.h"

#include "support/main_context.h"

#include <string>
#include <vector>

namespace qz::test {
namespace {

TEST_F(GtkWindowTest, ScreenReadersFindTheBarByNameWithItsValueButNotTheSplash) {
    AtkObject* progress = gtk_widget_get_accessible(bar);
    EXPECT_STREQ(atk_object_get_name(progress), "Download progress");
    AtkRelationSet* relations = atk_object_ref_relation_set(progress);
    AtkRelation* describedBy =
        atk_relation_set_get_relation_by_type(relations, ATK_RELATION_DESCRIBED_BY);
    ASSERT_NE(describedBy, nullptr);
    EXPECT_EQ(g_ptr_array_index(atk_relation_get_target(describedBy), 0),
              gtk_widget_get_accessible(status));
    g_object_unref(relations);

    window->show(state(platform::Activity::Transferring, "Downloading  50%", HALF));
    waitUntilShown("Downloading  50%");
    double value = 0;
    gchar* text = nullptr;
    atk_value_get_value_and_text(ATK_VALUE(progress), &value, &text);
    g_free(text);
    EXPECT_DOUBLE_EQ(value, 0.5);
    EXPECT_EQ(atk_object_get_role(gtk_widget_get_accessible(image)), ATK_ROLE_REDUNDANT_OBJECT);
}

TEST_F(GtkWindowTest, OnlyAFailureIsAnnouncedAndTheStatusStaysALabel) {
    window->show(state(platform::Activity::Transferring, "Downloading  50%", HALF));
    waitUntilShown("Downloading  50%");
    AtkObject* shown = gtk_widget_get_accessible(status);
    std::vector<std::string> announced;
    const gulong id =
        g_signal_connect(shown, "announcement",
                         G_CALLBACK(+[](AtkObject*, gchar* text, std::vector<std::string>* texts) {
                             texts->push_back(text);
                         }),
                         &announced);
    window->show(state(platform::Activity::Transferring, "Downloading  60%", HALF));
    waitUntilShown("Downloading  60%");
    EXPECT_TRUE(announced.empty());

    window->show(state(platform::Activity::Failed, FAILURE, FULL));
    waitUntilShown(FAILURE);
    g_signal_handler_disconnect(shown, id);
    EXPECT_EQ(announced, std::vector<std::string>{FAILURE});
    EXPECT_EQ(atk_object_get_role(shown), ATK_ROLE_LABEL);
    EXPECT_EQ(std::string(atk_object_get_name(shown)), FAILURE);
}

TEST_F(GtkWindowTest, TheButtonHasTheFocusAndAltWithItsMnemonicPressesIt) {
    window->show(state(platform::Activity::Transferring, "Downloading  50%", HALF));
    waitUntilShown("Downloading  50%");
    EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(toplevel)), button);
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(button)), "_Cancel");
    EXPECT_TRUE(gtk_button_get_use_underline(GTK_BUTTON(button)));
    press(GDK_KEY_c, GDK_MOD1_MASK);
    EXPECT_TRUE(runMainContextUntil([&] { return delegate.closes == 1; }, 5.0));

    open();
    window->show(state(platform::Activity::Failed, FAILURE, FULL));
    waitUntilShown(FAILURE);
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(button)), "_Close");
    EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(toplevel)), button);
    press(GDK_KEY_c, GDK_MOD1_MASK);
    EXPECT_TRUE(runMainContextUntil([&] { return delegate.closes == 1; }, 5.0));
}

} // namespace
} // namespace qz::test
