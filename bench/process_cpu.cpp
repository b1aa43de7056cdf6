// Process CPU from the clock and from /proc; see the header.
#include "process_cpu.h"

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

double processCpuMs()
{
	timespec now{};
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
	return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

pid_t siblingXvfb()
{
	const std::string parent = std::to_string(getppid());
	std::ifstream children("/proc/" + parent + "/task/" + parent + "/children");
	pid_t pid = 0;
	while (children >> pid) {
		std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
		std::string name;
		if (std::getline(comm, name) && name == "Xvfb")
			return pid;
	}
	return 0;
}

double otherProcessCpuMs(pid_t pid)
{
	if (pid == 0)
		return 0;
	std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
	std::string line;
	std::getline(statFile, line);
	// The fields after the command name, which may hold spaces: utime and stime are the 12th
	// and 13th of them.
	std::istringstream fields(line.substr(line.rfind(')') + 2));
	std::string field;
	double ticks = 0;
	for (int index = 1; index <= 13 && fields >> field; ++index)
		if (index >= 12)
			ticks += std::stod(field);
	return ticks * 1e3 / static_cast<double>(sysconf(_SC_CLK_TCK));
}
