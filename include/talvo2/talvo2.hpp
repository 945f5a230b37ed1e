#pragma once

// The whole public interface of the library.
#include "talvo2/error.hpp"
#include "talvo2/i_experiment.hpp"
#include "talvo2/i_flag_data.hpp"
#include "talvo2/i_node.hpp"
#include "talvo2/i_node_group.hpp"
#include "talvo2/i_path_iterator.hpp"
#include "talvo2/i_project.hpp"
#include "talvo2/i_result_directory.hpp"
#include "talvo2/i_search_directories.hpp"
#include "talvo2/names.hpp"
#include "talvo2/node.hpp"
#include "talvo2/node_base.hpp"
#include "talvo2/result_directory_base.hpp"
#include "talvo2/result_directory_manager.hpp"
#include "talvo2/result_variable_bag.hpp"
#include "talvo2/system_info.hpp"
