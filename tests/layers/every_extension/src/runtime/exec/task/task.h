// Stands for the task header that the planted files include.
#pragma once
