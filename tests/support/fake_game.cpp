// Stands in for the game's executable: records how it was started, then waits to be ended.
// QDT_FAKE_GAME_LOG names a file that receives one line per argument (the program path first).
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

int main(int argc, char** argv)
{
    if (const char* log = std::getenv("QDT_FAKE_GAME_LOG")) {
        std::ofstream out(log, std::ios::app);
        for (int i = 0; i < argc; ++i)
            out << argv[i] << '\n';
    }
    // Bounded, so a forgotten one ends by itself.
    std::this_thread::sleep_for(std::chrono::minutes(10));
    return 0;
}
