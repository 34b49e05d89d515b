// The profile fixture shared by the stand-ins: its syntax, its errors, and the changes that
// writers append to it and read back from each other.

#include "testbed/profile/profile.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testbed/machine/installation.h"

namespace {

using testbed::FailRule;
using testbed::Profile;
using testbed::ProfileError;

const std::string directory = "C:\\merivane-tests\\profile";
const std::string fixture = directory + "\\profile.txt";

std::string read_all(const std::string& path) {
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char block[4096];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, file)) != 0;) {
      text.append(block, got);
    }
    std::fclose(file);
  }
  return text;
}

void append_text(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "ab");
  ASSERT_NE(file, nullptr);
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
}

class ProfileFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed::remove_tree(directory);
    testbed::make_directories(directory);
  }
  void TearDown() override { testbed::remove_tree(directory); }

  static std::unique_ptr<Profile> load(const std::string& text) {
    testbed::write_file(fixture, text);
    return Profile::load(fixture);
  }

  static std::string class_of(const Profile& profile, const std::string& folder, std::size_t n) {
    const std::uint32_t id = profile.folders()[profile.find_folder(folder)].items.at(n - 1);
    return id == Profile::no_text ? "<none>" : profile.text(id);
  }
};

TEST_F(ProfileFixture, ReadsStoresFoldersAndItemsWithQuotedValuesCommentsAndDefaults) {
  const auto profile = load(
      "# a comment\r\n"
      "\n"
      "folder path=\"Personal Folders\" store=0011AABB entry=00000001\r\n"
      "  folder path=\"Personal Folders/Tasks\" entry=02 type=3 form=IPM.Task.Merivane "
      "display=\"Merivane \\\"Task\\\" \\\\ list\"   # trailing comment\n"
      "folder path=\"Personal Folders/Inbox\" entry=04 type=0\n"
      "folder path=\"Personal Folders/Tasks/Sub\" entry=03 type=3 form=IPM.Task display=Task\n"
      "folder path=Archive store=99 entry=0A\n"
      "item folder=\"Personal Folders/Tasks\" class=IPM.Task.Merivane count=3\n"
      "item folder=\"Personal Folders/Tasks\"\n"
      "item\tfolder=\"Personal Folders/Tasks\"\tclass=\"a#b\"\n"
      "item folder=Archive class=IPM.Note count=0");  // no line end at the end

  ASSERT_EQ(profile->roots().size(), 2u);
  const auto& folders = profile->folders();
  const Profile::Folder& root = folders[profile->roots()[0]];
  EXPECT_EQ(root.path, "Personal Folders");
  EXPECT_EQ(profile->text(root.form), "IPM.Note") << "the default form when none is given";
  EXPECT_EQ(root.display, Profile::no_text);
  EXPECT_EQ(root.item_type, 0);

  ASSERT_EQ(root.children.size(), 2u);
  const Profile::Folder& tasks = folders[root.children[0]];
  EXPECT_EQ(tasks.path, "Personal Folders/Tasks");
  EXPECT_EQ(folders[root.children[1]].path, "Personal Folders/Inbox") << "file order";
  EXPECT_EQ(tasks.item_type, 3);
  EXPECT_EQ(tasks.entry_id, "02");
  EXPECT_EQ(profile->store_id(root.children[0]), "0011AABB") << "inherited from the root";
  EXPECT_EQ(profile->text(tasks.display), "Merivane \"Task\" \\ list");
  ASSERT_EQ(tasks.children.size(), 1u);
  EXPECT_EQ(profile->store_id(tasks.children[0]), "0011AABB") << "inherited two levels down";
  EXPECT_EQ(profile->store_id(profile->roots()[1]), "99");

  ASSERT_EQ(tasks.items.size(), 5u);
  EXPECT_EQ(class_of(*profile, "Personal Folders/Tasks", 3), "IPM.Task.Merivane");
  EXPECT_EQ(class_of(*profile, "Personal Folders/Tasks", 4), "<none>");
  EXPECT_EQ(class_of(*profile, "Personal Folders/Tasks", 5), "a#b");
  EXPECT_EQ(tasks.items[0], tasks.items[2]) << "equal classes are stored once";
  EXPECT_TRUE(folders[profile->roots()[1]].items.empty());
  EXPECT_EQ(profile->find_folder("Personal Folders/Nowhere"), Profile::no_folder);
}

TEST_F(ProfileFixture, RejectsEachMalformedLineNamingFileAndLine) {
  const std::string stores = "folder path=S store=01 entry=01\n";
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"foldr path=S\n", ":1: unknown directive \"foldr\""},
      {stores + "folder path=S/A entry=02 tpye=3\n", ":2: unknown field \"tpye\" for folder"},
      {"folder path=S entry=01\n", ":1: store root \"S\" needs \"store=\""},
      {stores + "folder path=S/A store=02 entry=02\n", ":2: \"store=\" belongs on a store root"},
      {stores + "folder path=S/A/B entry=03\n", ":2: the parent of \"S/A/B\" is not declared"},
      {stores + "folder path=S store=01 entry=01\n", ":2: folder \"S\" given twice"},
      {stores + "folder path=S//A entry=02\n", ":2: folder path \"S//A\" has an empty name"},
      {"folder path=S store=01\n", ":1: missing \"entry=\""},
      {stores + "item folder=T\n", ":2: no folder \"T\""},
      {stores + "item folder=S count=-1\n", ":2: \"count\" must be a number from 0"},
      {stores + "item folder=S count=3x\n", ":2: \"count\" must be a number"},
      {stores + "folder path=\"S/A entry=02\n", ":2: a quoted value is not closed"},
      {stores + "folder path=\"S/A\"x entry=02\n", ":2: text right after a closing quote"},
      {stores + "item folder=\"S\\n\"\n", ":2: only \\\" and \\\\ may follow a backslash"},
      {stores + "item folder=S folder=S\n", ":2: \"folder\" given twice"},
      {stores + "item folder=\n", ":2: empty value for \"folder\""},
      {stores + "item folder=S class\n", ":2: \"class\" needs a value"},
      {"path=S\n", ":1: a line must start with a directive"},
      {stores + "fail member=Save hresult=0x80004005\n", ":2: a fail rule needs \"object=\" or"},
      {stores + "fail call=3\n", ":2: a fail rule needs one of \"hresult=\", \"exception\""},
      {stores + "fail call=3 hresult=1 exception\n", ":2: a fail rule needs one of"},
      {stores + "fail call=3 hresult=1 refuse=0x36E5001F\n", ":2: a fail rule needs one of"},
      {stores + "fail call=3 refuse=0\n", ":2: \"refuse\" names a property tag"},
      {stores + "fail call=3 hresult=0x80004005 wcode=5\n", ":2: wcode, scode, source"},
      {stores + "fail call=3 hresult=0\n", ":2: \"hresult\" must not be S_OK"},
      {stores + "fail call=3 exception wcode=65536\n", ":2: \"wcode\" must be a number"},
      {stores + "fail call=3 exception=1\n", ":2: \"exception\" takes no value"},
      {stores + "fail object=S kind=read hresult=0x80004005\n", ":2: \"kind\" is get, put or"},
      {stores + "fail object=S member=QueryInterface exception\n",
       ":2: a QueryInterface rule takes only"},
      {stores + "busy\n", ":2: \"busy\" needs \"for_ms=\" or \"every=\""},
      {stores + "busy every=1\n", ":2: \"every\" must be a number from 2"},
      {stores + "hang member=Save\n", ":2: a hang rule needs \"object=\" or \"call=\""},
      {stores + "other_level\n", ":2: missing \"window=\""},
      {stores + "saved item=S#1 class=X\n", ":2: no item \"S#1\""},
      {stores + "saved item=S class=X\n", ":2: \"item\" reads <folder path>#<number>"},
      {stores + "defaultform folder=S display=Task\n", ":2: missing \"class=\""},
      {stores + "absent\n", ":2: missing \"member=\""},
      {stores + "absent member=\"\"\n", ":2: \"absent\" names a member"},
      {stores + "absent member=X kind=get\n", ":2: unknown field \"kind\" for absent"},
  };
  for (const auto& bad : cases) {
    SCOPED_TRACE(bad.text);
    try {
      load(bad.text);
      ADD_FAILURE() << "accepted";
    } catch (const ProfileError& error) {
      EXPECT_EQ(std::string(error.what()).find(fixture + bad.message), 0u) << error.what();
    }
  }
}

TEST_F(ProfileFixture, ReadsFailRulesAndMatchesThemByObjectMemberAndKind) {
  const auto profile = load(
      "folder path=S store=01 entry=01\n"
      "fail object=\"Item:S#2\" member=Save hresult=0x80004005\n"
      "fail object=\"Items:S/*\" member=Count kind=get times=1 exception scode=0x80030001 "
      "deferred=1\n"
      "fail object=Folder:S member=DefaultItemType exception wcode=5 source=\"Outlook\" "
      "description=\"Server busy\"\n"
      "fail call=17 hresult=-2147417846\n"
      "fail object=Application member=QueryInterface hresult=0x80004002\n"
      "absent member=PropertyAccessor\n"
      "absent member=Other\n");
  const std::vector<FailRule>& rules = profile->rules();
  ASSERT_EQ(rules.size(), 5u);

  EXPECT_EQ(rules[0].hresult, E_FAIL);
  EXPECT_FALSE(rules[0].exception);
  EXPECT_EQ(rules[0].remaining, -1);
  EXPECT_TRUE(rules[0].matches_object("Item:S#2"));
  EXPECT_FALSE(rules[0].matches_object("Item:S#20")) << "exact unless it ends with '*'";
  EXPECT_TRUE(rules[0].matches_member("Save", testbed::kind_method));
  EXPECT_FALSE(rules[0].matches_member("Close", testbed::kind_method));

  EXPECT_TRUE(rules[1].matches_object("Items:S/Tasks"));
  EXPECT_FALSE(rules[1].matches_object("Items:S"));
  EXPECT_TRUE(rules[1].matches_member("Count", testbed::kind_get));
  EXPECT_FALSE(rules[1].matches_member("Count", testbed::kind_method));
  EXPECT_EQ(rules[1].remaining, 1);
  EXPECT_TRUE(rules[1].exception && rules[1].deferred);
  EXPECT_EQ(rules[1].scode, STG_E_INVALIDFUNCTION);

  EXPECT_EQ(rules[2].wcode, 5);
  EXPECT_EQ(rules[2].source, "Outlook");
  EXPECT_EQ(rules[2].description, "Server busy");
  EXPECT_FALSE(rules[2].deferred);

  EXPECT_EQ(rules[3].call, 17);
  EXPECT_EQ(rules[3].hresult, RPC_E_SERVERCALL_RETRYLATER) << "decimal codes are signed";
  EXPECT_TRUE(rules[3].matches_object("Folder:anything"));
  EXPECT_TRUE(rules[3].matches_member("NewItem", testbed::kind_method));
  EXPECT_FALSE(rules[3].matches_member("QueryInterface", 0)) << "\"*\" means calls only";
  EXPECT_TRUE(rules[4].matches_member("QueryInterface", 0));

  EXPECT_TRUE(profile->is_absent("propertyACCESSOR")) << "names are bound without case";
  EXPECT_TRUE(profile->is_absent("Other")) << "every absent line counts";
  EXPECT_FALSE(profile->is_absent("PropertyAccessors"));
}

TEST_F(ProfileFixture, ChangesAreAppendedAsLinesThatAFreshLoadApplies) {
  const auto profile = load(
      "folder path=\"Personal Folders\" store=01 entry=01\n"
      "folder path=\"Personal Folders/Tasks\" entry=02 type=3 form=IPM.Task.Merivane\n"
      "item folder=\"Personal Folders/Tasks\" class=IPM.Task.Merivane count=2\n"
      "item folder=\"Personal Folders/Tasks\"\n");
  const std::uint32_t tasks = profile->find_folder("Personal Folders/Tasks");
  profile->save_item(tasks, 2, std::string("IPM.Task"));
  profile->save_item(tasks, 3, std::nullopt);
  EXPECT_EQ(profile->create_item(tasks, std::string("IPM.Task \"odd\"")), 4u);
  profile->set_default_form(tasks, "IPM.Task", "Task");

  const std::string expected_tail =
      "saved item=\"Personal Folders/Tasks#2\" class=IPM.Task\n"
      "saved item=\"Personal Folders/Tasks#3\"\n"
      "created folder=\"Personal Folders/Tasks\" class=\"IPM.Task \\\"odd\\\"\"\n"
      "defaultform folder=\"Personal Folders/Tasks\" class=IPM.Task display=Task\n";
  const std::string text = read_all(fixture);
  ASSERT_GE(text.size(), expected_tail.size());
  EXPECT_EQ(text.substr(text.size() - expected_tail.size()), expected_tail) << "LF line ends only";

  const auto reloaded = Profile::load(fixture);
  for (const Profile* seen : {profile.get(), reloaded.get()}) {
    EXPECT_EQ(class_of(*seen, "Personal Folders/Tasks", 1), "IPM.Task.Merivane");
    EXPECT_EQ(class_of(*seen, "Personal Folders/Tasks", 2), "IPM.Task");
    EXPECT_EQ(class_of(*seen, "Personal Folders/Tasks", 3), "<none>");
    EXPECT_EQ(class_of(*seen, "Personal Folders/Tasks", 4), "IPM.Task \"odd\"");
    EXPECT_EQ(seen->folders()[tasks].items.size(), 4u);
    EXPECT_EQ(seen->text(seen->folders()[tasks].form), "IPM.Task");
    EXPECT_EQ(seen->text(seen->folders()[tasks].display), "Task");
  }
  EXPECT_THROW(profile->save_item(tasks, 1, std::string("two\nlines")), ProfileError);
  EXPECT_EQ(read_all(fixture), text) << "a change that cannot be written is not made";
  EXPECT_EQ(class_of(*profile, "Personal Folders/Tasks", 1), "IPM.Task.Merivane");
}

TEST_F(ProfileFixture, RefreshAppliesOtherWritersLinesAndSkipsItsOwn) {
  testbed::write_file(fixture,
                      "folder path=S store=01 entry=01\n"
                      "folder path=S/T entry=02 type=3 form=IPM.Task.Merivane\n"
                      "item folder=S/T class=IPM.Task.Merivane");  // no final line end
  const auto mine = Profile::load(fixture);
  const auto other = Profile::load(fixture);  // as the MAPI stand-in would hold it
  const std::uint32_t folder = mine->find_folder("S/T");

  EXPECT_EQ(mine->create_item(folder, std::string("IPM.Task")), 2u);
  mine->refresh();
  EXPECT_EQ(mine->folders()[folder].items.size(), 2u) << "its own line is not applied twice";

  other->set_default_form(folder, "IPM.Task", "Task");
  append_text(fixture, "item folder=S/T class=Written.By.Test\n");
  append_text(fixture, "item folder=S/T class=Half");  // a writer in the middle of a line
  mine->refresh();
  EXPECT_EQ(mine->text(mine->folders()[folder].form), "IPM.Task");
  ASSERT_EQ(mine->folders()[folder].items.size(), 3u) << "the unfinished line waits";
  EXPECT_EQ(class_of(*mine, "S/T", 3), "Written.By.Test");
  append_text(fixture, "Written\n");
  mine->refresh();
  ASSERT_EQ(mine->folders()[folder].items.size(), 4u);
  EXPECT_EQ(class_of(*mine, "S/T", 4), "HalfWritten");

  other->refresh();
  EXPECT_EQ(other->folders()[folder].items.size(), 4u) << "sees the item the first one made";
  EXPECT_EQ(class_of(*other, "S/T", 2), "IPM.Task");

  EXPECT_NE(read_all(fixture).find("class=IPM.Task.Merivane\ncreated folder=S/T class=IPM.Task\n"),
            std::string::npos)
      << "the first change starts a line of its own";
  EXPECT_EQ(Profile::load(fixture)->folders()[folder].items.size(), 4u);

  append_text(fixture, "saved item=S/T#9 class=X\n");
  EXPECT_THROW(mine->refresh(), ProfileError);
}

}  // namespace
