// Finding configuration files by name, through MORVIN_CONFIG_PATH, in the
// program's own directory and in the installation's data folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"
#include "os/os.h"
#include "base/config_search.h"

namespace {

class config_search : public ::testing::Test {
protected:
    std::string root;
    std::string saved_dir;
    const char *saved_path = nullptr;
    std::string saved_path_text;

    void SetUp() override
    {
        char pattern[] = "/tmp/morvin-config-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        ASSERT_EQ(mkdir((root + "/a").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root + "/b").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root + "/b/sub").c_str(), 0700), 0);
        touch(root + "/b/cable.cfg");
        touch(root + "/b/sub/deep.cfg");
        ASSERT_EQ(mkdir((root + "/a/dir.cfg").c_str(), 0700), 0);  // not a regular file
        touch(root + "/b/dir.cfg");
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_dir = cwd;
        ASSERT_EQ(chdir(root.c_str()), 0);
        saved_path = getenv("MORVIN_CONFIG_PATH");
        if (saved_path)
            saved_path_text = saved_path;
    }

    void TearDown() override
    {
        if (saved_path)
            setenv("MORVIN_CONFIG_PATH", saved_path_text.c_str(), 1);
        else
            unsetenv("MORVIN_CONFIG_PATH");
        EXPECT_EQ(chdir(saved_dir.c_str()), 0);
        std::string command = "rm -rf '" + root + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }

    static void touch(const std::string &path)
    {
        std::ofstream(path) << "name=x\n";
    }

    static void set_path(const std::string &value)
    {
        setenv("MORVIN_CONFIG_PATH", value.c_str(), 1);
    }
};

TEST_F(config_search, missing_arguments)
{
    char buffer[64];
    EXPECT_FALSE(find_config_file(nullptr, sizeof buffer, "b/cable.cfg"));
    EXPECT_FALSE(find_config_file(buffer, 0, "b/cable.cfg"));
    EXPECT_FALSE(find_config_file(buffer, sizeof buffer, nullptr));
}

TEST_F(config_search, the_name_itself_first)
{
    set_path(root + "/a");
    char buffer[64];
    ASSERT_TRUE(find_config_file(buffer, sizeof buffer, "b/cable.cfg"));
    EXPECT_STREQ(buffer, "b/cable.cfg");
    // cut to the buffer, always terminated
    char small[5];
    ASSERT_TRUE(find_config_file(small, sizeof small, "b/cable.cfg"));
    EXPECT_STREQ(small, "b/ca");
}

TEST_F(config_search, directories_of_the_environment_variable_in_order)
{
    set_path(";" + root + "/a;;" + root + "/b/;" + root + "/b/sub");
    char buffer[256];
    ASSERT_TRUE(find_config_file(buffer, sizeof buffer, "cable.cfg"));
    EXPECT_EQ(std::string(buffer), root + "/b/cable.cfg");
    ASSERT_TRUE(find_config_file(buffer, sizeof buffer, "deep.cfg"));
    EXPECT_EQ(std::string(buffer), root + "/b/sub/deep.cfg");
    // a directory of the same name in an earlier element does not count
    ASSERT_TRUE(find_config_file(buffer, sizeof buffer, "dir.cfg"));
    EXPECT_EQ(std::string(buffer), root + "/b/dir.cfg");
    EXPECT_FALSE(find_config_file(buffer, sizeof buffer, "none.cfg"));
}

TEST_F(config_search, names_with_a_directory_are_not_searched)
{
    set_path(root);
    char buffer[256];
    EXPECT_FALSE(find_config_file(buffer, sizeof buffer, "sub/deep.cfg"));
    EXPECT_FALSE(find_config_file(buffer, sizeof buffer, "x:deep.cfg"));
    // unless they begin with a dot
    set_path(root + "/b/sub");
    ASSERT_TRUE(find_config_file(buffer, sizeof buffer, "./deep.cfg"));
    EXPECT_EQ(std::string(buffer), root + "/b/sub/./deep.cfg");
}

TEST_F(config_search, small_buffers)
{
    set_path(root + "/b");
    // no room for more than the name and its terminator
    char exact[10];
    EXPECT_FALSE(find_config_file(exact, sizeof exact, "cable.cfg"));
    // a directory longer than the room is cut, so the file is not found there
    char small[20];
    EXPECT_FALSE(find_config_file(small, sizeof small, "cable.cfg"));
    std::string full = root + "/b/cable.cfg";
    std::vector<char> fits(full.size() + 1);
    ASSERT_TRUE(find_config_file(fits.data(), fits.size(), "cable.cfg"));
    EXPECT_EQ(std::string(fits.data()), full);
    std::vector<char> short_by_one(full.size());
    EXPECT_FALSE(find_config_file(short_by_one.data(), short_by_one.size(), "cable.cfg"));
}

TEST_F(config_search, program_directory_last)
{
    char exe[4096];
    ASSERT_TRUE(os::program_path(exe, sizeof exe));
    std::string dir = exe;
    dir = dir.substr(0, dir.rfind('/'));
    std::string name = "morvin-test-" + std::to_string(getpid()) + ".cfg";
    touch(dir + "/" + name);
    touch(root + "/a/" + name);

    unsetenv("MORVIN_CONFIG_PATH");
    char buffer[4096];
    bool found = find_config_file(buffer, sizeof buffer, name.c_str());
    std::string found_path = buffer;
    // the environment's directories come before the program's
    set_path(root + "/a");
    bool found_first = find_config_file(buffer, sizeof buffer, name.c_str());
    std::string first_path = buffer;
    unlink((dir + "/" + name).c_str());

    ASSERT_TRUE(found);
    EXPECT_EQ(found_path, dir + "/" + name);
    ASSERT_TRUE(found_first);
    EXPECT_EQ(first_path, root + "/a/" + name);
}

// The data folder of an installation: share/morvin beside the program's bin
// folder. For this test program (build/tests/test_run) that is build/share/morvin.
std::string data_directory_of_this_program()
{
    char exe[4096];
    if (!os::program_path(exe, sizeof exe))
        return "";
    std::string dir = exe;
    dir = dir.substr(0, dir.rfind('/'));
    return dir.substr(0, dir.rfind('/')) + "/share/morvin";
}

TEST_F(config_search, installed_data_folder_after_the_program_directory)
{
    char exe[4096];
    ASSERT_TRUE(os::program_path(exe, sizeof exe));
    std::string program_dir = exe;
    program_dir = program_dir.substr(0, program_dir.rfind('/'));
    std::string data_dir = data_directory_of_this_program();
    std::string share_dir = data_dir.substr(0, data_dir.rfind('/'));
    struct stat info;
    bool made_share = stat(share_dir.c_str(), &info) != 0;
    if (made_share) {
        ASSERT_EQ(mkdir(share_dir.c_str(), 0755), 0) << share_dir;
    }
    bool made_data = stat(data_dir.c_str(), &info) != 0;
    if (made_data) {
        ASSERT_EQ(mkdir(data_dir.c_str(), 0755), 0) << data_dir;
    }
    std::string name = "morvin-data-test-" + std::to_string(getpid()) + ".cfg";
    touch(data_dir + "/" + name);

    unsetenv("MORVIN_CONFIG_PATH");
    char buffer[4096];
    bool found_in_data = find_config_file(buffer, sizeof buffer, name.c_str());
    std::string data_path = buffer;
    // the program's own folder comes first
    touch(program_dir + "/" + name);
    bool found_beside = find_config_file(buffer, sizeof buffer, name.c_str());
    std::string beside_path = buffer;
    unlink((program_dir + "/" + name).c_str());
    // and the environment's folders before both
    touch(root + "/a/" + name);
    set_path(root + "/a");
    bool found_first = find_config_file(buffer, sizeof buffer, name.c_str());
    std::string first_path = buffer;
    unlink((data_dir + "/" + name).c_str());
    if (made_data)
        rmdir(data_dir.c_str());
    if (made_share)
        rmdir(share_dir.c_str());

    ASSERT_TRUE(found_in_data);
    EXPECT_EQ(data_path, data_dir + "/" + name);
    ASSERT_TRUE(found_beside);
    EXPECT_EQ(beside_path, program_dir + "/" + name);
    ASSERT_TRUE(found_first);
    EXPECT_EQ(first_path, root + "/a/" + name);
}

TEST_F(config_search, debug_lines)
{
    char exe[4096];
    ASSERT_TRUE(os::program_path(exe, sizeof exe));
    std::string dir = exe;
    dir = dir.substr(0, dir.rfind('/'));
    char buffer[256];
    uint8_t saved = msg_out.level;
    {
        captured_output capture;
        msg_out.level = MSG_DEBUG;
        unsetenv("MORVIN_CONFIG_PATH");
        find_config_file(buffer, sizeof buffer, "none.cfg");
        set_path("");
        find_config_file(buffer, sizeof buffer, "none.cfg");
        set_path("x;y");
        find_config_file(buffer, sizeof buffer, "none.cfg");
        msg_out.level = MSG_INFO;
        find_config_file(buffer, sizeof buffer, "none.cfg");
        std::string program =
            "\t% program path " + dir + "\n" + "\t% data path " + data_directory_of_this_program() + "\n";
        EXPECT_EQ(capture.text(), "\t% config path not defined\n" + program + "\t% config path not defined\n" +
                                      program + "\t% config path x;y\n" + program);
    }
    msg_out.level = saved;
}

}  // namespace
