#pragma once

// Entry of the web thread. Returns 0 once the console has quit.
int main_webserver();
